#include "ButtonKeys.h"

#include <QKeyEvent>
#include <QPushButton>

namespace platform {

namespace {

class TEnterPresses : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() != QEvent::KeyPress) return false;
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
        // Keys reach a button only while it has the focus.
        auto* button = qobject_cast<QPushButton*>(watched);
        if (!button || !button->isEnabled()) return false;
        button->click();
        return true;
    }
};

} // namespace

void PressFocusedButtonOnEnter(QWidget* window) {
    auto* presses = new TEnterPresses(window);
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->installEventFilter(presses);
    }
}

} // namespace platform
