#include "THelpViewer.h"

#include "ErrorHandler.h"
#include "FontAliases.h"
#include "ProgramPath.h"

#include <QFile>
#include <QFont>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace platform {

std::filesystem::path HelpFilePath() {
    std::error_code ec;
    auto beside = ProgramPathWithExt(".HLP");
    if (std::filesystem::is_regular_file(beside, ec)) return beside;
    auto installed = InstalledDataDir(ProgramPath().parent_path()) / "help" / "index.html";
    if (std::filesystem::is_regular_file(installed, ec)) return installed;
    return {};
}

THelpViewer::THelpViewer() : QWidget(nullptr, Qt::Window) {
    setAttribute(Qt::WA_QuitOnClose, false); // closing the help never ends the program
    setWindowTitle(QString::fromUtf8("Parlora ヘルプ"));
    resize(640, 560);
    Browser = new QTextBrowser(this);
    Browser->setOpenExternalLinks(true);
    // A scroll bar that comes and goes after the first layout left lines
    // running under it; keeping it leaves the text width fixed.
    Browser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The document is Japanese. Drawn in a Latin font, its characters come
    // from a fallback font whose advances Qt measures differently from how
    // it paints them, and lines ran a few pixels past the text width.
    QFont font = Browser->font();
    font.setFamilies(GothicFamilies());
    Browser->setFont(font);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Browser);
}

THelpViewer* THelpViewer::Instance() {
    static QPointer<THelpViewer> viewer;
    if (!viewer) viewer = new THelpViewer;
    return viewer;
}

bool THelpViewer::ShowContents(const std::filesystem::path& file) {
    QFile f(QString::fromStdString(file.string()));
    if (!f.open(QIODevice::ReadOnly)) return false;
    // The document is UTF-8 HTML whatever its name ends in.
    Browser->setSearchPaths({QString::fromStdString(file.parent_path().string())});
    Browser->setHtml(QString::fromUtf8(f.readAll()));
    Browser->moveCursor(QTextCursor::Start);
    show();
    raise();
    activateWindow();
    return true;
}

void ShowHelpContents(QWidget* parent) {
    auto file = HelpFilePath();
    if (!file.empty() && THelpViewer::Instance()->ShowContents(file)) return;
    MessageBoxQ(parent,
                QString::fromUtf8("ヘルプファイルが見つかりません。\n") +
                    QString::fromStdString(ProgramPathWithExt(".HLP").string()),
                "Parlora", MB_OK | MB_ICONINFORMATION);
}

} // namespace platform
