#include "MessagePump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace platform {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    // A single-shot timer wakes the blocking wait when the deadline passes.
    QTimer wake;
    wake.setSingleShot(true);
    if (timeoutMs >= 0) wake.start(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

} // namespace platform
