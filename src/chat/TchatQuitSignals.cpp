#include "TchatQuitSignals.h"

#include "Tchat.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

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
    // A modal dialog runs its own loop inside a window's handler; it is
    // dismissed first so that handler can finish before its window goes.
    // A dialog that refuses is left after a few tries.
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) modal = QApplication::activePopupWidget();
    if (modal && dialogsClosed_ < 20) {
        ++dialogsClosed_;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        QTimer::singleShot(0, this, [this] { CloseStep(); });
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
