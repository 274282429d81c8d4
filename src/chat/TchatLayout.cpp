#include "TchatLayout.h"

#include <QEvent>
#include <QSplitter>
#include <algorithm>

TchatLayout::TchatLayout(QWidget* window, QSplitter* splitter, std::function<void()> arrangeMembers)
    : QObject(window), Window(window), Splitter(splitter),
      ArrangeMembers(std::move(arrangeMembers)) {
    // The scroll bars would keep the log and the message box at some 70
    // pixels each, too tall for the smallest window; let them shrink.
    for (int i = 0; i < splitter->count(); ++i)
        splitter->widget(i)->setMinimumHeight(1);
    window->installEventFilter(this);
    splitter->installEventFilter(this);
}

TchatLayout::~TchatLayout() = default;

int TchatLayout::MemoHeightFor(int shared) {
    return std::min(std::max(shared, 0) / 2, MaxMemoHeight);
}

void TchatLayout::FormResize() {
    if (ArrangeMembers) ArrangeMembers();
    ShareSplitter();
}

void TchatLayout::ShareSplitter() {
    if (!Splitter || Splitter->count() < 2) return;
    // The splitter already has its new geometry when it hears of it; setting
    // the sizes from that geometry lays it out once, and its own handling
    // that follows finds nothing left to move.
    const int shared = Splitter->contentsRect().height() - Splitter->handleWidth();
    if (shared <= 0) return;
    const int memo = MemoHeightFor(shared);
    Splitter->setSizes({shared - memo, memo});
    if (QWidget* log = Splitter->widget(0)) log->update();
}

bool TchatLayout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        // The window's layout has placed its children by the time the
        // window hears of the new size; the members panel follows its width.
        if (watched == Window && ArrangeMembers) ArrangeMembers();
        // The splitter also changes size when the members panel gains or
        // loses a row, or a panel is switched; then the log alone takes the
        // difference and a message box height the user dragged stays.
        if (watched == Splitter && Window && Window->size() != sharedAt_) {
            sharedAt_ = Window->size();
            ShareSplitter();
        }
    }
    return QObject::eventFilter(watched, event);
}
