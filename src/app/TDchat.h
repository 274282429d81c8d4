#pragma once
// The main form: a two-second splash at start, then an invisible owner that
// opens the first chat window, counts the open chat windows and ends the
// program when the last one has closed, saving the settings on the way out.
#include "chat/TAboutBox.h"
#include "chat/TchatContext.h"

#include "platform/AnsiString.h"
#include "settings/TOptfm.h"
#include "templates/TTempfm.h"

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QFrame;
class QLabel;
class QTimer;
class Tchat;
class TchatShadowTitle;
class TRoomReach;

// The start options the command line gives the first chat window.
struct TDchatStartOptions {
    bool AutoCreate = false;
    bool AutoConnect = false;
    AnsiString PresetHandle;
    AnsiString PresetHostAddress;
};

class TDchat : public QWidget {
  public:
    // `arguments` is the whole command line, the program path first.
    explicit TDchat(QStringList arguments, QWidget* parent = nullptr);
    ~TDchat() override;

    // The long-lived forms, created in this order after the main form.
    // `optfm` may be handed in (tests give it their own address list).
    void CreateForms(std::unique_ptr<TOptfm> optfm = {});

    // Reads SV, CL, HD= and IP= (letter case ignored); values are cut at 999
    // characters and a later argument of a kind overrides an earlier one.
    static TDchatStartOptions ParseCommandLine(const QStringList& arguments);

    // Runs the start dialog for a chat window (the chat windows' way in).
    TchatStartResult RunStartDialog(Tchat& chat);

    int OpenChatCount = 0;
    QTimer* Timer1;
    QFrame* Panel1;
    QLabel* Image1;
    TchatShadowTitle* Title;
    QLabel* Version;

    TAboutBox* AboutBox() const { return aboutBox_.get(); }
    TOptfm* Optfm() const { return optfm_.get(); }
    TTempfm* Tempfm() const { return tempfm_.get(); }
    TchatContext& Context() { return context_; }
    // The first chat window, while it exists.
    Tchat* FirstChat() const;

    // Seams for the address notification: the start-page upload run by the
    // start dialog after a room was created, and the exit-page upload run at
    // close; each only while the options dialog's notify switch is on. Not
    // assigned: nothing is uploaded.
    std::function<void()> NotifyStartPage;
    std::function<void()> NotifyExitPage;
    // Called once the main form has closed (the program quits there).
    std::function<void()> OnTerminate;
    bool Terminated() const { return terminated_; }

    // Handlers.
    void FormShow();
    void FormClose();
    void OpenFirstChat();
    void Timer1Timer();
    void ChatWindowCount(intptr_t wParam);
    // The router forwarding changed: the own-address list and the page follow.
    void ReachChanged();

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QStringList arguments_;
    std::unique_ptr<TAboutBox> aboutBox_;
    std::unique_ptr<TTempfm> tempfm_;
    std::unique_ptr<TOptfm> optfm_;
    std::unique_ptr<TRoomReach> reach_;
    std::string outsideTold_;
    TchatContext context_;
    QPointer<Tchat> firstChat_;
    bool shown_ = false;
    bool terminated_ = false;
};
