#pragma once
// Window placement shared by the forms that open in the middle of the screen.
class QWidget;

namespace platform {

// Moves `window` so that its frame is centred on the usable area of its
// screen (the primary screen when it has none yet).
void CentreOnScreen(QWidget* window);

} // namespace platform
