#pragma once
// The program's help: our own HTML document shown in a viewer window.
#include <QWidget>
#include <filesystem>

class QTextBrowser;

namespace platform {

// Where the help document is: the program's path with ".HLP" (the build
// tree puts it there), else share/parlora/help/index.html of the installed
// prefix. Empty when neither exists.
std::filesystem::path HelpFilePath();

// One viewer window for the whole run, showing the document from its contents.
class THelpViewer : public QWidget {
  public:
    static THelpViewer* Instance();
    // Loads `file` and shows its beginning; false when it cannot be read.
    bool ShowContents(const std::filesystem::path& file);
    QTextBrowser* Browser;

  private:
    THelpViewer();
};

// Shows the help's contents, or a clear message box saying where the help
// file was looked for.
void ShowHelpContents(QWidget* parent);

} // namespace platform
