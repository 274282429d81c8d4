// Program entry. Until the chat window lands this opens an empty main window
// and ends when it is closed.
#include "platform/ErrorHandler.h"

#include <QApplication>
#include <QMainWindow>
#include <cstdio>

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "parlora: no display found (set DISPLAY or WAYLAND_DISPLAY, or run "
                             "it inside a desktop session)\n");
        return 1;
    }
    QApplication app(argc, argv);
    QMainWindow w;
    w.setWindowTitle("Parlora");
    w.resize(480, 320);
    w.show();
    return app.exec();
}
