// Program entry: the main form first, then the long-lived forms, then the
// message loop until the main form closes.
#include "TDchat.h"

#include "chat/TchatQuitSignals.h"

#include "platform/FontAliases.h"
#include "platform/JapaneseDialogs.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "parlora: no display found (set DISPLAY or WAYLAND_DISPLAY, or run "
                             "it inside a desktop session)\n");
        return 1;
    }
    // The windows ask for Windows font names; map them before Qt reads the fonts.
    platform::ApplyFontAliases();
    QApplication app(argc, argv);
    platform::UseJapaneseDialogs(app);
    // The hidden main form owns the chat windows; the program ends when it
    // closes, not when the last visible window does.
    QApplication::setQuitOnLastWindowClosed(false);
    TDchat dchat(QApplication::arguments());
    dchat.CreateForms();
    dchat.OnTerminate = [] { QCoreApplication::quit(); };
    dchat.show();
    // SIGTERM and SIGINT close the windows the way the user would, so views,
    // settings and templates are saved and every room is left cleanly.
    TchatQuitSignals quitSignals(&dchat);
    const int code = app.exec();
    // Chat windows closed just before the end are still waiting to be
    // destroyed; destroying them takes their members out of the rooms.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return code;
}
