#pragma once
#include <QStringList>
#include <filesystem>
#include <string>

namespace platform {

// Makes the font names the windows ask for ("ＭＳ Ｐゴシック", "Century",
// "Century Schoolbook", "Terminal") resolve to installed metric-compatible
// fonts, by loading the program's fontconfig file (parlora-fonts.conf beside
// the program, or share/parlora/fonts.conf of the installed prefix). Call
// before the application object is created. False when no file was loaded.
// The file ApplyFontAliases loads by default; empty when there is none.
std::filesystem::path FontAliasFile();
bool ApplyFontAliases(const std::filesystem::path& file = FontAliasFile());

// The families a window asking for "ＭＳ Ｐゴシック" lists, in order: the
// Windows name (aliased), then the installed stand-ins by their own names.
QStringList GothicFamilies();

// The installed font family fontconfig picks for `family` (tests, diagnostics).
std::string MatchFontFamily(const std::string& family);

} // namespace platform
