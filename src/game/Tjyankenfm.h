#pragma once
// The rock-paper-scissors window of one chat window. A round's state lives
// here: the handles that have decided and the own hand. Nobody's hand shows
// until every member has decided; then each member reveals its own.
#include "platform/AnsiString.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

class QAbstractButton;
class QToolButton;
class TCustomDPSession;

class Tjyankenfm : public QWidget {
  public:
    // chat: the chat window the game belongs to (its owner: the game goes
    // when it goes);
    // session: that window's session component, used for sending.
    Tjyankenfm(QWidget* chat, TCustomDPSession* session);
    ~Tjyankenfm() override;

    QPointer<QWidget> Chat;
    TCustomDPSession* session;
    std::vector<AnsiString> Decided;
    int MyHand = -1;

    QWidget* Pnl_janken;
    QToolButton* btn_guu;
    QToolButton* btn_tyoki;
    QToolButton* btn_pa;
    QToolButton* btn_pass;
    QToolButton* SpeedButton1;

    // Runs when the window closes (after a reveal or on a reset), before it
    // is freed, so the chat window can forget it at once.
    std::function<void()> OnFormClose;

    void btn_guuClick(QAbstractButton* Sender);
    void SendJyanken(int kind, int value);
    void HandDecided(const AnsiString& handle);

  protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

  private:
    void FormShow();
};
