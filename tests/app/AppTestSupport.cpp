#include "AppTestSupport.h"

#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/MessagePump.h"
#include "platform/QtText.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdlib>

namespace apptest {

TOnShow::TOnShow(std::function<bool(QWidget*)> react) : react_(std::move(react)) {
    QCoreApplication::instance()->installEventFilter(this);
}

TOnShow::~TOnShow() {
    QCoreApplication::instance()->removeEventFilter(this);
}

bool TOnShow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        QPointer<QWidget> widget = static_cast<QWidget*>(watched);
        // Acts once the dialog's own loop runs.
        QTimer::singleShot(0, this, [this, widget] {
            if (widget) react_(widget);
        });
    }
    return false;
}

void UseLoopback() {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    ::setenv("PARLORA_OWN_IP", "127.0.0.1", 1);
}

} // namespace apptest
