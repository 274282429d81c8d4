#pragma once
// Posted window messages between forms, carried as Qt events so that each
// one runs only after the message being handled now has returned.
#include <QEvent>
#include <QObject>
#include <cstdint>

namespace platform {

constexpr unsigned WM_OPENFIRSTCHAT = 0x0800;
constexpr unsigned WM_CHATWINDOWCOUNT = 0x0801;
constexpr unsigned WM_SHOWSTARTDIALOG = 0x0C00;

class TWinMessageEvent : public QEvent {
  public:
    static QEvent::Type EventType();
    TWinMessageEvent(unsigned msg, intptr_t wParam, intptr_t lParam)
        : QEvent(EventType()), Msg(msg), WParam(wParam), LParam(lParam) {}
    unsigned Msg;
    intptr_t WParam;
    intptr_t LParam;
};

// Queues the message for `target`; it is delivered by the event loop to
// target->event() as a TWinMessageEvent. Safe from any thread. A message to
// an object destroyed before delivery is dropped.
void PostMessage(QObject* target, unsigned msg, intptr_t wParam = 0, intptr_t lParam = 0);

// The message carried by `e`, or nullptr when `e` is another kind of event.
inline const TWinMessageEvent* AsWinMessage(const QEvent* e) {
    return e->type() == TWinMessageEvent::EventType() ? static_cast<const TWinMessageEvent*>(e)
                                                      : nullptr;
}

} // namespace platform
