#pragma once
// The window of one chat room: it enters a room through the start dialog,
// sends the message box's text to the room, logs what arrives, shows who is
// present and alerts the user to new entries while minimised.
#include "TchatContext.h"

#include "platform/AnsiString.h"
#include "session/DPSession.h"

#include <QMainWindow>
#include <QPointer>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTimer;
class TChatLog;
class TMembers;
class TchatKeys;
class TchatLayout;
class TchatNameGuide;
class Tjyankenfm;

class Tchat : public QMainWindow {
  public:
    // What this window shares with the others of its program.
    const TchatContext& Context() const { return context_; }
    // A top-level window of its own (own taskbar entry); the main form in
    // `context` owns it in the sense that it counts it. `openedFrom` is the
    // window whose "別のチャットルーム" created this one.
    explicit Tchat(TchatContext& context, Tchat* openedFrom = nullptr);
    ~Tchat() override;

    // Room state.
    AnsiString RoomName;
    AnsiString SelfName;
    QPointer<Tchat> OpenedFrom;
    // Start options, handed to the start dialog (first window only).
    bool AutoCreate = false;
    bool AutoConnect = false;
    AnsiString PresetHandle;
    AnsiString PresetHostAddress;

    std::unique_ptr<TMembers> Members;
    // The open rock-paper-scissors window; none between rounds.
    QPointer<Tjyankenfm> JyankenForm;
    // Declared last, so it leaves the room before the member list it reports
    // to goes.
    TDPSession Session;

    // Appends an entry to the log (sender: a player name, or empty for the
    // program's own lines); the arrival notification follows.
    void AddLogEntry(const AnsiString& sender, const AnsiString& text);

    // Handlers.
    void StartRoom();
    void btn_sendClick();
    void btn_CanClick();
    void btn_FontClick();
    void SessionOpen(TCustomDPSession* Sender);
    void SessionAddPlayer(TCustomDPSession* Sender, TDPPlayer* Player);
    void SessionDeletePlayer(TCustomDPSession* Sender, TDPPlayer* Player);
    void SessionMessage(TCustomDPSession* Sender, TDPPlayer* From, const void* Data, int DataSize);
    void NotifyArrival();
    void FormActivate();
    void FormDeactivate();
    void NewRoomClick();
    void SaveLogClick();
    void ClearLogClick();
    void OptionClick();
    void ExitRoomClick();
    void ShowMemberClick();
    void ShowRoomNameClick();
    void topic1Click();
    void JyankenClick();
    void MessageTmpClick();
    void Tool1Click();
    void Info1Click();

    // Menus.
    QMenu* File1;
    QAction* NewRoom;
    QAction* SaveLog;
    QAction* ClearLog;
    QAction* Option;
    QAction* ExitRoom;
    QMenu* Tool1;
    QAction* ShowMember;
    QAction* ShowRoomName;
    QAction* MessageTmp;
    QAction* Jyanken;
    QMenu* Help1;
    QAction* topic1;
    QAction* Info1;

    // Controls, top to bottom.
    QLabel* Pnl_curretroom;
    QWidget* MembersPanel;
    QFrame* Bevel1;
    TChatLog* Log;
    QSplitter* Splitter1;
    QPlainTextEdit* Memo;
    QWidget* Pnl_mes;
    QWidget* Panel3;
    QPushButton* btn_send;
    QPushButton* btn_Can;
    QCheckBox* CB_Enter;
    QPushButton* btn_Font;
    QStatusBar* StBar;

    // Resizing, the name guide (ListBox, ShowGuideTimer) and key routing;
    // children of the window.
    TchatLayout* Layout = nullptr;
    TchatNameGuide* NameGuide = nullptr;
    TchatKeys* Keys = nullptr;

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildControls();
    void BuildMenus();
    void FormCreate();
    void FormShow();
    void FormClose();
    void ApplyViewSettings();
    void SaveViewSettings();
    void SetCaption(const AnsiString& suffix);
    // This window hosts its room now (created it, or took it over).
    void StartHosting();
    void ReachChanged();

    TchatContext& context_;
    int reachKey_ = 0;
    std::string toldAddress_, toldProblem_;
    bool startPosted_ = false;
    bool closing_ = false;
};
