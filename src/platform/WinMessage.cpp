#include "WinMessage.h"

#include <QCoreApplication>

namespace platform {

QEvent::Type TWinMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostMessage(QObject* target, unsigned msg, intptr_t wParam, intptr_t lParam) {
    if (target) QCoreApplication::postEvent(target, new TWinMessageEvent(msg, wParam, lParam));
}

} // namespace platform
