#include "TchatKeys.h"

#include "TchatNameGuide.h"

#include "platform/ErrorHandler.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

TchatKeys::TchatKeys(QWidget* window, QAbstractButton* enterSends, TchatNameGuide* guide)
    : QObject(window), Window(window), CB_Enter(enterSends), Guide(guide) {
    // Seeing the keys of every control of the window, also of controls
    // added later, takes a filter on the application.
    qApp->installEventFilter(this);
}

TchatKeys::~TchatKeys() = default;

void TchatKeys::FormKeyDown(QKeyEvent* key) {
    KeyToMemo = true;
    KeyNotSent = true;
    const int code = key->key();
    if (Guide && Guide->Visible() && Guide->ListBoxKeyDown(code)) {
        // The guide used the key: nothing else sees it, so an Enter that
        // picked a name never sends.
        KeyToMemo = false;
        return;
    }
    // Even a key that only moves the caret may bring a ">" before it.
    if (Guide) Guide->MarkModified();

    const Qt::KeyboardModifiers held = key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                                           Qt::AltModifier | Qt::MetaModifier);
    if (code == Qt::Key_S && held == Qt::ControlModifier) {
        KeyNotSent = false;
        Send();
    } else if ((code == Qt::Key_Return || code == Qt::Key_Enter) && CB_Enter &&
               CB_Enter->isChecked()) {
        KeyNotSent = false;
        Send();
    }
}

void TchatKeys::Send() {
    if (OnSend) platform::Guarded([&] { OnSend(); });
}

bool TchatKeys::InWindow(QObject* object) const {
    if (!Window || !object->isWidgetType()) return false;
    return static_cast<QWidget*>(object)->window() == Window;
}

bool TchatKeys::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyRelease) {
        Routing = nullptr;
    } else if (type == QEvent::KeyPress && InWindow(watched)) {
        // A key the focused control left alone goes on to its parents; it
        // was routed already.
        if (event == Routing && RoutedAt && watched != RoutedAt && RoutedAt->isWidgetType() &&
            static_cast<QWidget*>(watched)->isAncestorOf(static_cast<QWidget*>(RoutedAt.data())))
            return false;
        Routing = event;
        RoutedAt = watched;
        FormKeyDown(static_cast<QKeyEvent*>(event));
        if (!FormKeyPress()) {
            event->accept();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
