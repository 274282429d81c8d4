#include "TchatQuitSignals.h"

#include "Tchat.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// Dialogs dismissed at most, in case one keeps coming back.
constexpr int kMaxDismissals = 20;
// How often the close looks again for nested loops to have unwound.
constexpr int kUnwindRetryMs = 20;

// The handler may only write to a pipe; the GUI thread reads it.
int signalPipe[2] = {-1, -1};
struct sigaction previousTerm, previousInt;

extern "C" void OnQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TchatQuitSignals::TchatQuitSignals(QWidget* mainForm) : mainForm_(mainForm) {
    if (signalPipe[0] >= 0) throw std::logic_error("quit signals are already handled");
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot create the signal pipe");
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        ssize_t n = 0;
        while ((n = ::read(signalPipe[0], buffer, sizeof buffer)) > 0)
            for (ssize_t i = 0; i < n; ++i)
                CloseAll();
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previousTerm);
    ::sigaction(SIGINT, &action, &previousInt);
}

TchatQuitSignals::~TchatQuitSignals() {
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
    delete notifier_;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TchatQuitSignals::CloseAll() {
    if (++received_ > 1) {
        QCoreApplication::quit();
        return;
    }
    CloseStep();
}

void TchatQuitSignals::CloseStep() {
    // A modal dialog runs its own loop inside a window's handler. It is
    // dismissed first: politely, and where it ignores that (the start dialog
    // takes no Escape), the way its own cancel would end it.
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) modal = QApplication::activePopupWidget();
    if (modal && dialogsClosed_ < kMaxDismissals) {
        ++dialogsClosed_;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
            if (dialog->isVisible()) dialog->done(QDialog::Rejected);
        } else {
            modal->close();
        }
        QTimer::singleShot(0, this, [this] { CloseStep(); });
        return;
    }
    // Until the handler that ran a dismissed dialog has returned, the
    // dialog's loop is still on the stack, and a window closed from inside it
    // would be deleted by that loop, under its own handler. The windows go
    // once every nested loop has unwound (a busy dialog may first finish its
    // network wait); the timer only runs while one is still there.
    if (QThread::currentThread()->loopLevel() > 1) {
        QTimer::singleShot(kUnwindRetryMs, this, [this] { CloseStep(); });
        return;
    }
    bool anyChat = false;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* chat = dynamic_cast<Tchat*>(widget)) {
            anyChat = true;
            chat->close();
        }
    }
    if (!anyChat && mainForm_) mainForm_->close();
}
