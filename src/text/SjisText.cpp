#include "SjisText.h"

#include "platform/Cp932.h"

namespace net {
namespace {

bool Lead(const AnsiString& s, size_t i) {
    return platform::IsLeadByte(static_cast<unsigned char>(s[i]));
}

// Byte length of the character starting at byte offset i (0-based).
size_t CharLen(const AnsiString& s, size_t i) {
    return (Lead(s, i) && i + 1 < s.size()) ? 2 : 1;
}

} // namespace

bool IsTrailByte(const AnsiString& text, int index) {
    if (index < 1 || static_cast<size_t>(index) > text.size())
        throw platform::Exception("Illegal Index");
    size_t leads = 0;
    for (size_t j = static_cast<size_t>(index) - 1; j > 0 && Lead(text, j - 1); --j)
        ++leads;
    return leads % 2 == 1;
}

int BytePosDbcs(const AnsiString& pattern, const AnsiString& text) {
    if (pattern.empty()) return 0;
    size_t from = 0; // start of the remaining text searched
    for (;;) {
        size_t hit = text.find(pattern, from);
        if (hit == AnsiString::npos) return 0;
        AnsiString rest = text.substr(from);
        if (!IsTrailByte(rest, static_cast<int>(hit - from + 1))) return static_cast<int>(hit + 1);
        from = hit + 1;
    }
}

int CharPos(const AnsiString& pattern, const AnsiString& text) {
    if (pattern.empty() || text.empty()) return 0;
    int count = 0;
    for (size_t i = 0; i < text.size(); i += CharLen(text, i)) {
        ++count;
        if (i > 0 && i + pattern.size() > text.size()) break; // the first position is always tried
        if (text[i] == pattern[0] && text.compare(i, pattern.size(), pattern) == 0) return count;
    }
    return 0;
}

AnsiString CopyChars(const AnsiString& text, int start, int count) {
    AnsiString out;
    if (text.empty() || count <= 0) return out;
    long long last = static_cast<long long>(start) + count - 1;
    int n = 0;
    for (size_t i = 0; i < text.size();) {
        size_t len = CharLen(text, i);
        ++n;
        if (n > last) break;
        if (n >= start) out.append(text, i, len);
        i += len;
    }
    return out;
}

void DeleteChars(AnsiString& text, int start, int count) {
    if (start < 1) start = 1;
    size_t i = 0;
    for (int n = 1; n < start; ++n) {
        if (i >= text.size()) return;
        i += CharLen(text, i);
    }
    if (i >= text.size() || count <= 0) return;
    size_t end = i;
    for (int n = 0; n < count && end < text.size(); ++n)
        end += CharLen(text, end);
    if (end < text.size() && IsTrailByte(text, static_cast<int>(end + 1))) ++end;
    text.erase(i, end - i);
}

AnsiString SplitAtDelimiter(AnsiString& text, const AnsiString& delimiters) {
    AnsiString token;
    if (text.empty()) return token;
    if (delimiters.empty()) {
        token.swap(text);
        return token;
    }
    for (size_t i = 0; i < text.size(); i += CharLen(text, i)) {
        if (delimiters.find(text[i]) != AnsiString::npos) {
            token = text.substr(0, i);
            text.erase(0, i + 1);
            return token;
        }
    }
    token.swap(text);
    text.clear();
    return token;
}

AnsiString GetToken(AnsiString& text, const AnsiString& delimiters) {
    while (!text.empty() && BytePosDbcs(CopyChars(text, 1, 1), delimiters) > 0)
        DeleteChars(text, 1, 1);
    return SplitAtDelimiter(text, delimiters);
}

bool IsIntegerText(const AnsiString& text) {
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') continue;
        if (c == '-' && i == 0) continue;
        return false;
    }
    return true;
}

} // namespace net
