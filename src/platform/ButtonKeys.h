#pragma once
// Return or Enter on a focused button presses it, as dialogs do on the
// desktop the forms were drawn for. Qt presses only a dialog's default
// button on Return, so forms that have no default button (where Return in an
// edit box must not press OK) ask for this.
class QWidget;

namespace platform {

// For every push button inside `window` at the time of the call.
void PressFocusedButtonOnEnter(QWidget* window);

} // namespace platform
