#include "LogLines.h"

#include "ChatPayload.h"

namespace chat {
namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
bool IsBreak(char c) {
    return c == '\r' || c == '\n';
}

AnsiString Stripped(const AnsiString& text, size_t begin, size_t end) {
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

} // namespace

std::vector<AnsiString> SplitEntryText(const AnsiString& text) {
    // CR and LF are never the second byte of a double-byte character, so the
    // text can be split as bytes.
    std::vector<AnsiString> lines;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < text.size() && !IsBreak(text[end]))
            ++end;
        lines.push_back(Stripped(text, start, end));
        if (end == text.size()) break;
        while (end < text.size() && IsBreak(text[end]))
            ++end;
        start = end;
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

std::vector<AnsiString> LogEntryLines(const AnsiString& senderName, const AnsiString& text) {
    std::vector<AnsiString> lines = SplitEntryText(text);
    if (lines.empty()) return lines;
    AnsiString header = senderName.empty() ? AnsiString() : "<" + HandleOf(senderName) + ">";
    if (lines.size() == 1) {
        lines[0].insert(0, header);
        return lines;
    }
    lines.insert(lines.begin(), header);
    return lines;
}

} // namespace chat
