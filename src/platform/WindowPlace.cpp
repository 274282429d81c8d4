#include "WindowPlace.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace platform {

namespace {

bool IsFramed(const QWidget* window) {
    return window->isVisible() && window->frameGeometry() != window->geometry();
}

// What the window manager gave each type of window: dialogs, tool windows
// and plain windows are framed differently.
QHash<int, QMargins>& Learnt() {
    static QHash<int, QMargins> margins;
    return margins;
}

QMargins OwnMargins(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    return {client.left() - frame.left(), client.top() - frame.top(),
            frame.right() - client.right(), frame.bottom() - client.bottom()};
}

const char* const kName = "PlaceWhenFramed";

// Places the window again once, when the window manager has framed it.
class TFramedAgain : public QObject {
  public:
    TFramedAgain(QWidget* window, std::function<void()> place)
        : QObject(window), window_(window), place_(std::move(place)) {
        setObjectName(kName);
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override {
        if ((e->type() == QEvent::Move || e->type() == QEvent::Resize) && window_ &&
            IsFramed(window_)) {
            FrameMargins(window_); // learnt for the next window of its kind
            window_->removeEventFilter(this);
            place_();
            deleteLater();
        }
        return false;
    }

  private:
    QPointer<QWidget> window_;
    std::function<void()> place_;
};

class TUnminimised : public QObject {
  public:
    explicit TUnminimised(QWidget* window) : QObject(window), window_(window) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::WindowStateChange && window_ && window_->isMinimized())
            QTimer::singleShot(0, this, [this] {
                if (window_ && window_->isMinimized()) {
                    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
                    window_->raise();
                    window_->activateWindow();
                }
            });
        return false;
    }

  private:
    QPointer<QWidget> window_;
};

} // namespace

void StayUnminimised(QWidget* window) {
    new TUnminimised(window);
}

QMargins FrameMargins(const QWidget* window) {
    const int type = static_cast<int>(window->windowType());
    if (IsFramed(window)) {
        const QMargins own = OwnMargins(window);
        Learnt().insert(type, own);
        return own;
    }
    return Learnt().value(type);
}

QSize FrameSize(const QWidget* window) {
    const QMargins m = FrameMargins(window);
    return window->size().grownBy(m);
}

void MoveFrameTo(QWidget* window, QPoint topLeft) {
    window->move(topLeft);
    // Not framed yet: the window manager is asked to put the frame, not the
    // client area, at the position.
    if (!IsFramed(window))
        if (QWindow* handle = window->windowHandle()) handle->setFramePosition(topLeft);
}

void PlaceFramed(QWidget* window, std::function<void()> place) {
    // The latest placement wins over one still waiting for the frame.
    for (QObject* waiting :
         window->findChildren<QObject*>(QLatin1String(kName), Qt::FindDirectChildrenOnly))
        delete waiting;
    place();
    if (!IsFramed(window)) new TFramedAgain(window, std::move(place));
}

void CentreOnScreen(QWidget* window) {
    PlaceFramed(window, [window] {
        QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
        if (!screen) return;
        const QRect area = screen->availableGeometry();
        const QSize frame = FrameSize(window);
        MoveFrameTo(window, QPoint(area.left() + (area.width() - frame.width()) / 2,
                                   area.top() + (area.height() - frame.height()) / 2));
    });
}

} // namespace platform
