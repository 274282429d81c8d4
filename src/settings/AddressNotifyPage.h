#pragma once
// The address page: an HTML template of the user's with "##IPADDRESS##" and
// "##DATETIME##" filled in, and the remote place it is stored at. Text stays
// in the template's own bytes; tags are found only at character starts.
#include "platform/AnsiString.h"

#include <QDateTime>
#include <QLocale>
#include <filesystem>
#include <functional>
#include <vector>

namespace settings {

// At most this many characters are kept after a replaced tag.
constexpr int PageTailLimit = 999;

// The lines of a template: a line ends at CR LF, a lone CR or a lone LF, a
// final line end adds no empty line, and a zero byte ends the text.
std::vector<AnsiString> SplitPageLines(const AnsiString& text);

// How a template's characters are told apart: CP932 (the program's own
// text) or, for a template that is valid UTF-8 and not plain ASCII, UTF-8.
enum class TPageEncoding { Cp932, Utf8 };
TPageEncoding PageEncodingOf(const AnsiString& templateText);

// Replaces every `tag` in `line` (searched again from the start after each
// replacement, at character starts only) with `value()`, keeping at most
// PageTailLimit characters of what followed the tag.
void ReplaceTag(AnsiString& line, const AnsiString& tag, const std::function<AnsiString()>& value,
                TPageEncoding encoding = TPageEncoding::Cp932);

// "yy/mm/dd hh:nn" with the locale's date and time separators.
AnsiString FormatPageTime(const QDateTime& time, const QLocale& locale = QLocale::system());

// The page built from a template: lines with both tags replaced, each
// ended by CR LF; all other bytes stay as they are. `now` is asked anew for
// every time tag.
AnsiString MakePageText(const AnsiString& templateText, const AnsiString& address,
                        const std::function<QDateTime()>& now = &QDateTime::currentDateTime);

// Where the generated page is written: "Tmp.txt" beside the program, or in
// the user's data folder when the program's folder cannot be written.
std::filesystem::path PageFilePath();

// True when `path` names an existing file that is not a folder.
bool TemplateExists(const std::filesystem::path& path);

// Builds the page from the template at `templatePath` into `pageFile`.
// Nothing happens when there is no template; read and write failures raise
// platform::Exception.
void MakePageFile(const std::filesystem::path& templatePath, const std::filesystem::path& pageFile,
                  const AnsiString& address);

// The remote place of the page: the folders to change into, in order, and
// the file name. Cut at the last backslash or colon (a colon stays with the
// folder before it); folders are cut at backslashes, empty pieces skipped.
struct TPagePlace {
    std::vector<AnsiString> Folders;
    AnsiString FileName;
};
TPagePlace SplitFtpDir(const AnsiString& ftpdir);

} // namespace settings
