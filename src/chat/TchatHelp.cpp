#include "TchatHelp.h"

#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/ProgramPath.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>
#include <filesystem>

void TchatShowHelpContents(QWidget* parent) {
    const std::filesystem::path file = platform::ProgramPathWithExt(".HLP");
    std::error_code ec;
    const QString name = QString::fromStdString(file.string());
    QString text;
    if (!std::filesystem::is_regular_file(file, ec))
        text = QStringLiteral("ヘルプファイルが見つかりません。\r\n") + name;
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(name)))
        text = QStringLiteral("ヘルプファイルを表示できません。\r\n") + name;
    else
        return;
    platform::MessageBoxQ(parent, text, QStringLiteral("Parlora"), platform::MB_ICONINFORMATION);
}
