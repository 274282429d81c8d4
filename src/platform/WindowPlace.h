#pragma once
// Window placement by framed window positions: a position names where the
// window manager's frame goes, not the client area inside it. Before a
// window is first shown its frame is not known yet; the window manager is
// then asked to put the frame itself at the position, and placements that
// need the frame's size use the frame of a window of the same kind framed
// earlier and are made again once the window's own frame is known.
#include <QMargins>
#include <QPoint>
#include <QSize>
#include <functional>

class QWidget;

namespace platform {

// The frame the window manager gives `window`: its own once it is framed,
// else that of a window of the same type framed before, else none.
QMargins FrameMargins(const QWidget* window);
// The size of `window` with its frame.
QSize FrameSize(const QWidget* window);
// Puts the top-left corner of the window's frame at `topLeft`.
void MoveFrameTo(QWidget* window, QPoint topLeft);
// Runs `place` now and, when the window is not framed yet, once more when
// its frame is known. Meant for the show handlers of windows.
void PlaceFramed(QWidget* window, std::function<void()> place);

// A window drawn without a minimise button (a modal dialog the program waits
// on) that a window manager minimises all the same comes straight back.
void StayUnminimised(QWidget* window);

// Moves `window` so that its frame is centred on the usable area of its
// screen (the primary screen when it has none yet).
void CentreOnScreen(QWidget* window);

} // namespace platform
