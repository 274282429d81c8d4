#pragma once
// The start dialog: the user gives a handle and either creates a room (and
// becomes its host) or enters a room at a host's address. The dialog does
// the network work itself and closes with OK only when the session
// component is open on the chosen room.
#include "entry/RoomEntry.h"
#include "platform/AnsiString.h"

#include <QDialog>
#include <QPointer>
#include <functional>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QTabWidget;
class QWidget;
class TOptfm;
class TchatShadowTitle;

class TDchatstart : public QDialog {
  public:
    // `optfm` gives the own address, the notify switch and the "設定" dialog.
    TDchatstart(QWidget* owner, TOptfm* optfm);
    ~TDchatstart() override;

    // Inputs, set before the dialog is shown.
    TDPSession* Session = nullptr;
    bool AutoCreate = false;
    bool AutoConnect = false;
    AnsiString PresetHandle;
    AnsiString PresetHostAddress;
    // The main form's version label, copied on show.
    QPointer<QLabel> MainVersion;
    // The start-page upload, run after a room was created while the options
    // dialog's notify switch is on. Not assigned: no upload.
    std::function<void()> NotifyStartPage;
    // Shows the help file's contents.
    std::function<void(QWidget* parent)> ShowHelp;

    // Output: the room created or joined.
    AnsiString RoomName;
    AnsiString Handle() const;

    // Handlers.
    void FormShow();
    void FormClose();
    void btn_makeroomClick();
    void btn_ClientConnectClick();
    void btn_JoinClick();
    void Button2Click();
    void Button3Click();

    // Operations.
    // Connects the session through the TCP/IP provider to `host` ("" for a
    // room of its own).
    void UseTCPIPProvider(const AnsiString& host);
    // Lists the rooms at `host` (an address the service can dial, from the
    // typed one) and enters one.
    void JoinByAddress(const AnsiString& host);
    static void LoadHistory(const AnsiString& keyName, QComboBox* list);
    static void SaveHistory(const AnsiString& keyName, const QComboBox* list);
    // Adds `text` to the sorted list unless it is there already (letter case
    // ignored); the box's edit text stays as it is.
    static void AddToList(QComboBox* list, const QString& text);

    // True while a network step is running (input is refused meanwhile).
    bool Busy() const { return busy_; }

    // The button-click message posted by FormShow.
    static constexpr unsigned BM_CLICK = 0x00F5;

    // Controls.
    QFrame* Panel1;
    QLabel* Image1;
    TchatShadowTitle* Title;
    QLabel* Version;
    QLabel* Label1;
    QComboBox* Ed_handle;
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QLabel* Label2;
    QComboBox* Ed_newRoom;
    QPushButton* btn_makeroom;
    QWidget* TabSheet2;
    QLabel* Label3;
    QComboBox* HostIPaddress;
    QPushButton* btn_ClientConnect;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override {} // Escape never closes it; only "中止" cancels
  public:
    void done(int result) override;

  private:
    void BuildControls();
    void ShowError(const AnsiString& text);
    // The handle and `target` are filled in (else a box says which is
    // missing) and `wellFormed` (when given) holds; both are then added to
    // their lists.
    bool Validated(QComboBox* target, const char* emptyMessage,
                   const std::function<bool()>& wellFormed = {});
    AnsiString PlayerNameFor() const;
    // Runs a blocking network step on a worker while this thread keeps
    // painting; input to the dialog is refused until it returns.
    entry::TStepRunner Waiting();
    void OpenSessionWaiting(bool create);

    TOptfm* optfm_;
    AnsiString PlayerName;
    bool busy_ = false;
    bool closed_ = false;
    bool shown_ = false;
};
