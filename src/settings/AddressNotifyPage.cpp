#include "AddressNotifyPage.h"

#include "TLowFTP.h"
#include "net/SjisText.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "platform/ProgramPath.h"
#include "platform/QtText.h"

#include <fstream>
#include <iterator>

namespace settings {
namespace {

const AnsiString AddressTag = "##IPADDRESS##";
const AnsiString TimeTag = "##DATETIME##";

// The first character of a locale format that is neither a letter nor a
// quote: the separator between its fields.
QString SeparatorOf(const QString& format, const QString& fallback) {
    for (QChar c : format)
        if (!c.isLetter() && c != QLatin1Char('\'') && !c.isSpace()) return QString(c);
    return fallback;
}

AnsiString PathText(const std::filesystem::path& path) {
    return platform::Utf8ToCp932(path.string());
}

} // namespace

std::vector<AnsiString> SplitPageLines(const AnsiString& text) {
    std::vector<AnsiString> lines;
    const size_t end = std::min(text.find('\0'), text.size());
    size_t start = 0;
    while (start < end) {
        size_t stop = text.find_first_of("\r\n", start);
        if (stop == AnsiString::npos || stop >= end) {
            lines.push_back(text.substr(start, end - start));
            break;
        }
        lines.push_back(text.substr(start, stop - start));
        start = stop + 1;
        if (text[stop] == '\r' && start < end && text[start] == '\n') ++start;
    }
    return lines;
}

void ReplaceTag(AnsiString& line, const AnsiString& tag, const std::function<AnsiString()>& value) {
    const int tagLength = static_cast<int>(tag.size()); // tags are single-byte text
    for (int p = net::CharPos(tag, line); p > 0; p = net::CharPos(tag, line))
        line = net::CopyChars(line, 1, p - 1) + value() +
               net::CopyChars(line, p + tagLength, PageTailLimit);
}

AnsiString FormatPageTime(const QDateTime& time, const QLocale& locale) {
    const QString date = SeparatorOf(locale.dateFormat(QLocale::ShortFormat), "/");
    const QString clock = SeparatorOf(locale.timeFormat(QLocale::ShortFormat), ":");
    const QDate d = time.date();
    const QTime t = time.time();
    auto two = [](int n) { return QString::number(n % 100).rightJustified(2, QLatin1Char('0')); };
    return platform::FromQString(two(d.year()) + date + two(d.month()) + date + two(d.day()) + " " +
                                 two(t.hour()) + clock + two(t.minute()));
}

AnsiString MakePageText(const AnsiString& templateText, const AnsiString& address,
                        const std::function<QDateTime()>& now) {
    AnsiString page;
    for (AnsiString& line : SplitPageLines(templateText)) {
        ReplaceTag(line, AddressTag, [&] { return address; });
        ReplaceTag(line, TimeTag, [&] { return FormatPageTime(now()); });
        page += line;
        page += "\r\n";
    }
    return page;
}

std::filesystem::path PageFilePath() {
    return platform::WritableBesideProgram("Tmp.txt");
}

bool TemplateExists(const std::filesystem::path& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

void MakePageFile(const std::filesystem::path& templatePath, const std::filesystem::path& pageFile,
                  const AnsiString& address) {
    if (!TemplateExists(templatePath)) return;
    std::ifstream in(templatePath, std::ios::binary);
    // An empty template is fine (an empty page); only a failed read is not.
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad())
        throw platform::Exception("Cannot open file \"" + PathText(templatePath) + "\"");
    std::string error = platform::WriteFileAtomically(pageFile, MakePageText(text, address), 0644);
    if (!error.empty())
        throw platform::Exception("Cannot create file \"" + PathText(pageFile) + "\". " +
                                  platform::Utf8ToCp932(error));
}

TPagePlace SplitFtpDir(const AnsiString& ftpdir) {
    // The last backslash or colon that is a character of its own.
    size_t cut = AnsiString::npos;
    for (size_t i = 0; i < ftpdir.size(); ++i) {
        if (platform::IsLeadByte(static_cast<unsigned char>(ftpdir[i]))) {
            ++i;
            continue;
        }
        if (ftpdir[i] == '\\' || ftpdir[i] == ':') cut = i;
    }
    TPagePlace place;
    if (cut == AnsiString::npos) {
        place.FileName = ftpdir;
        return place;
    }
    place.FileName = ftpdir.substr(cut + 1);
    AnsiString folders = ftpdir.substr(0, cut);
    if (ftpdir[cut] == ':') folders += ':';
    place.Folders = TLowFTP::SplitPath(folders);
    return place;
}

} // namespace settings
