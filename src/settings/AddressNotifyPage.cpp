#include "AddressNotifyPage.h"

#include "TLowFTP.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "platform/FileName.h"
#include "platform/ProgramPath.h"
#include "platform/QtText.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

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
    AnsiString text;
    platform::Cp932PathText(path, text); // a message may show "?" for what CP932 lacks
    return text;
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

TPageEncoding PageEncodingOf(const AnsiString& templateText) {
    const std::string_view text(templateText.data(),
                                std::min(templateText.find('\0'), templateText.size()));
    const bool wide = std::any_of(text.begin(), text.end(),
                                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return wide && platform::IsValidUtf8(text) ? TPageEncoding::Utf8 : TPageEncoding::Cp932;
}

void ReplaceTag(AnsiString& line, const AnsiString& tag, const std::function<AnsiString()>& value,
                TPageEncoding encoding) {
    // Byte length of the character at byte i; a lone lead byte at the end is one.
    auto length = [&](size_t i) -> size_t {
        if (encoding == TPageEncoding::Utf8)
            return platform::Utf8CharLength(std::string_view(line).substr(i));
        return platform::IsLeadByte(static_cast<unsigned char>(line[i])) && i + 1 < line.size() ? 2
                                                                                                : 1;
    };
    for (;;) {
        size_t at = AnsiString::npos;
        for (size_t i = 0; i < line.size(); i += length(i))
            if (line.compare(i, tag.size(), tag) == 0) {
                at = i;
                break;
            }
        if (at == AnsiString::npos) return;
        // Tags are single-byte text, so what follows one starts a character.
        const size_t from = at + tag.size();
        size_t to = from;
        for (int n = 0; n < PageTailLimit && to < line.size(); ++n)
            to += length(to);
        line = line.substr(0, at) + value() + line.substr(from, to - from);
    }
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
    const TPageEncoding encoding = PageEncodingOf(templateText);
    for (AnsiString& line : SplitPageLines(templateText)) {
        ReplaceTag(
            line, AddressTag, [&] { return address; }, encoding);
        ReplaceTag(
            line, TimeTag, [&] { return FormatPageTime(now()); }, encoding);
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
