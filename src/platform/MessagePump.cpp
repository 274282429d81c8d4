#include "MessagePump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>

namespace platform {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    // A single-shot timer wakes the blocking wait at the deadline; timers may
    // fire a little early, so it is re-armed for whatever time is left.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        if (timeoutMs >= 0 && !wake.isActive())
            wake.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace platform
