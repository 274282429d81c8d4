#pragma once
// The standard dialogs (save, open, font) and the buttons of message boxes
// speak the program's language, Japanese, whatever the desktop's locale.
class QCoreApplication;

namespace platform {

// Installs Qt's own Japanese translations on `app` and keeps the dialogs
// Qt's own (a desktop's native dialog would follow the desktop's locale).
// False when the translations are not installed; the dialogs stay English.
bool UseJapaneseDialogs(QCoreApplication& app);

} // namespace platform
