#pragma once
// The application's standard error box, message boxes and the beep.
#include "AnsiString.h"

#include <QString>
#include <exception>
#include <functional>

class QWidget;

namespace platform {

// Message box flags, as the forms use them.
enum : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_APPLMODAL = 0x0,
    MB_SYSTEMMODAL = 0x1000,
    MB_TASKMODAL = 0x2000,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Shows `text` in a modal box. System- and task-modal become application-modal.
int MessageBox(QWidget* parent, const AnsiString& text, const AnsiString& caption, unsigned flags);
// details, when given, go to the box's details area.
int MessageBoxQ(QWidget* parent, const QString& text, const QString& caption, unsigned flags,
                const QString& details = {});

// Shows the message of an error in a box titled "Parlora" with the error
// icon; the silent abort (EAbort) shows nothing. Without a GUI the text goes
// to standard error.
void ShowException(const std::exception& e);
// Inside a catch block: shows the exception being handled.
void HandleCurrentException();

// Runs an event handler, routing anything it throws to the error box; Qt
// must never see an exception leave a slot.
template <class F> void Guarded(F&& f) {
    try {
        f();
    } catch (...) {
        HandleCurrentException();
    }
}

void Beep();

// Lets tests see the boxes instead of blocking on them: when set, every box
// goes to the hook, which returns the button pressed.
using MessageBoxHook =
    std::function<int(const QString& text, const QString& caption, unsigned flags)>;
void SetMessageBoxHook(MessageBoxHook hook);
// The same, seeing the details as well.
using MessageBoxDetailsHook = std::function<int(const QString& text, const QString& caption,
                                                unsigned flags, const QString& details)>;
void SetMessageBoxDetailsHook(MessageBoxDetailsHook hook);

} // namespace platform
