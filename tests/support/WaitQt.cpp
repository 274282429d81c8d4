#include "Wait.h"

#include "platform/MessagePump.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int recheckMs) {
    // Its timeouts wake the blocking wait; it has nothing to do itself.
    QTimer recheck;
    if (recheckMs > 0) recheck.start(recheckMs);
    return platform::PumpUntil(
        [&] {
            // A deleteLater called outside any event handler waits for an
            // event loop to return, and the tests run none.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return done();
        },
        timeoutMs);
}

} // namespace testsupport
