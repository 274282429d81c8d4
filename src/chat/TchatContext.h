#pragma once
// What every chat window shares with the program around it: the main form
// that owns and counts the windows, the long-lived dialogs, and how to run
// the start dialog and the help. The program fills one at start-up; chat
// windows never reach further out than this.
#include "platform/AnsiString.h"

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>

class QLabel;
class TAboutBox;
class Tchat;
class TOptfm;
class TRoomReach;
class TTempfm;

// What the start dialog left behind when it closed.
struct TchatStartResult {
    int ModalResult = 2; // 1 OK, 2 cancel
    AnsiString RoomName;
    AnsiString Handle; // the text of the dialog's handle box
};

struct TchatContext {
    // Receives WM_CHATWINDOWCOUNT; may be null in tests.
    QPointer<QWidget> MainForm;
    TOptfm* Optfm = nullptr;
    TAboutBox* AboutBox = nullptr;
    // The template window shared by all chat windows; may be null in tests.
    TTempfm* Tempfm = nullptr;
    // Runs the start dialog modally on the window's session component.
    std::function<TchatStartResult(Tchat& chat)> RunStartDialog;
    // Shows the contents of the help file.
    std::function<void(QWidget* parent)> ShowHelp;
    // Port of every chat window's session component; 0 is the service's own.
    uint16_t Port = 0;
    // Forwards the router's port while a window hosts a room; may be null.
    QPointer<TRoomReach> Reach;
};
