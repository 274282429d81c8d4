#pragma once
// Opening the program's help file (the program's path with ".HLP").
class QWidget;

// Shows the help file with the desktop's viewer when it exists; otherwise
// says where it was looked for.
void TchatShowHelpContents(QWidget* parent);
