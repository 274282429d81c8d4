#include "RegText.h"

#include "Cp932.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

namespace platform {
namespace {

constexpr size_t kMaxLogicalLine = 1u << 20;

// A lead byte pairs with the next byte only when that is a possible second
// byte; so a lone lead byte before a closing quote does not swallow it.
bool Pairs(const std::string& s, size_t i) {
    if (!IsLeadByte(static_cast<unsigned char>(s[i])) || i + 1 >= s.size()) return false;
    auto t = static_cast<unsigned char>(s[i + 1]);
    return (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
}

unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

} // namespace

// ASCII case folding that leaves both bytes of a double-byte character alone.
bool RegNamesEqual(const AnsiString& a, const AnsiString& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (IsLeadByte(x)) {
            if (x != y) return false;
            if (i + 1 == a.size()) return true; // a lone lead byte may end a name
            ++i;
            if (a[i] != b[i]) return false;
            continue;
        }
        if (Lower(x) != Lower(y)) return false;
    }
    return true;
}

// Splits at "\" characters that are characters of their own (never the
// second byte of a double-byte character); empty pieces are dropped.
std::vector<AnsiString> SplitRegPath(const AnsiString& path) {
    std::vector<AnsiString> parts;
    AnsiString cur;
    for (size_t i = 0; i < path.size(); ++i) {
        auto c = static_cast<unsigned char>(path[i]);
        if (IsLeadByte(c) && i + 1 < path.size()) {
            cur += path[i];
            cur += path[++i];
        } else if (c == '\\') {
            if (!cur.empty()) parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += path[i];
        }
    }
    if (!cur.empty()) parts.push_back(std::move(cur));
    return parts;
}

namespace {

// Reads a quoted REGEDIT4 string starting at s[pos] == '"'. On success pos is
// just past the closing quote. A lead byte takes the next byte as its second
// one (so the 0x5C in "ソ" is no escape), unless `loneBeforeEscape`: then a
// lead byte before a backslash stands alone. Only files written before lone
// lead bytes were escaped need that reading (see Quote).
std::optional<std::string> ReadQuoted(const std::string& s, size_t& pos,
                                      bool loneBeforeEscape = false) {
    if (pos >= s.size() || s[pos] != '"') return std::nullopt;
    std::string out;
    size_t i = pos + 1;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (Pairs(s, i) && !(loneBeforeEscape && s[i + 1] == '\\')) {
            out += s[i];
            out += s[i + 1];
            i += 2;
        } else if (c == '\\') {
            if (i + 1 >= s.size()) return std::nullopt;
            out += s[i + 1];
            i += 2;
        } else if (c == '"') {
            pos = i + 1;
            return out;
        } else {
            out += s[i++];
        }
    }
    return std::nullopt;
}

// Quotes as the Windows registry editor does: backslash and quote escaped,
// double-byte characters whole. A lead byte without its second byte (Windows
// never stores one) is escaped too; unescaped, it would take the backslash of
// a following \" for its second byte and the string would end there.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (Pairs(s, i)) {
            out += s[i];
            out += s[++i];
            continue;
        }
        if (c == '\\' || c == '"' || IsLeadByte(c)) out += '\\';
        out += s[i];
    }
    return out + "\"";
}

// Reads a quoted string that must be followed, after blanks, by `next` (or
// end the line when `next` is 0). Files written before lone lead bytes were
// escaped hold them as lead byte, backslash, quote; when the usual reading
// leaves the line malformed, the reading that lets the lead byte stand alone
// is tried.
std::optional<std::string> ReadQuotedBefore(const std::string& line, size_t& pos, char next) {
    auto endsWell = [&](size_t p) {
        while (p < line.size() && line[p] == ' ')
            ++p;
        return next ? p < line.size() && line[p] == next : p == line.size();
    };
    size_t p = pos;
    auto text = ReadQuoted(line, p);
    if (!text || !endsWell(p)) {
        size_t q = pos;
        if (auto old = ReadQuoted(line, q, true); old && endsWell(q)) {
            pos = q;
            return old;
        }
    }
    if (text) pos = p;
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(Lower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> ParseHexBytes(std::string_view s) {
    std::string out;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\\'))
            ++i;
    };
    skipBlanks();
    while (i < s.size()) {
        if (i + 1 >= s.size()) return std::nullopt;
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        skipBlanks();
        if (i < s.size()) {
            if (s[i] != ',') return std::nullopt;
            ++i;
            skipBlanks();
        }
    }
    return out;
}

} // namespace

bool IsRegStringType(uint32_t t) {
    return t == REG_SZ || t == REG_EXPAND_SZ;
}

namespace {

// One value line: name=data. Returns nullopt for anything malformed.
std::optional<RegValue> ParseValueLine(const std::string& line) {
    RegValue v;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else {
        auto name = ReadQuotedBefore(line, pos, '=');
        if (!name) return std::nullopt;
        v.Name = *name;
    }
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    if (pos >= line.size() || line[pos] != '=') return std::nullopt;
    ++pos;
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    std::string_view rest(line.data() + pos, line.size() - pos);
    if (!rest.empty() && rest[0] == '"') {
        size_t p = pos;
        auto data = ReadQuotedBefore(line, p, 0);
        if (!data) return std::nullopt;
        v.Type = REG_SZ;
        v.Data = data->substr(0, data->find('\0')); // a string ends at its first zero byte
        return v;
    }
    if (rest.starts_with("dword:")) {
        auto digits = rest.substr(6);
        while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
            digits.remove_suffix(1);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t n = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            n = n * 16 + static_cast<uint32_t>(d);
        }
        v.Type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            v.Data += static_cast<char>((n >> (8 * i)) & 0xFF);
        return v;
    }
    if (rest.starts_with("hex")) {
        size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        auto kind = rest.substr(3, colon - 3);
        uint32_t type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
                return std::nullopt;
            type = 0;
            for (char c : kind.substr(1, kind.size() - 2)) {
                int d = HexDigit(c);
                if (d < 0) return std::nullopt;
                type = type * 16 + static_cast<uint32_t>(d);
            }
        }
        auto bytes = ParseHexBytes(rest.substr(colon + 1));
        if (!bytes) return std::nullopt;
        if (type == REG_DWORD && bytes->size() != 4) return std::nullopt;
        if (IsRegStringType(type)) bytes->resize(std::min(bytes->size(), bytes->find('\0')));
        v.Type = type;
        v.Data = std::move(*bytes);
        return v;
    }
    return std::nullopt;
}

std::string HexLine(const std::string& head, const std::string& data) {
    std::string out = head;
    size_t width = out.size();
    static const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        auto b = static_cast<unsigned char>(data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        width += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++width;
            if (width > 76) {
                out += "\\\r\n  ";
                width = 2;
            }
        }
    }
    return out;
}

void SerialiseKey(const RegKey& key, const std::string& path, bool writeHeader, std::string& out) {
    if (writeHeader) {
        out += "[" + path + "]\r\n";
        for (const auto& v : key.Values) {
            std::string head = v.Name.empty() ? "@=" : Quote(v.Name) + "=";
            bool plain = v.Type == REG_SZ && std::none_of(v.Data.begin(), v.Data.end(), [](char c) {
                             return static_cast<unsigned char>(c) < 0x20;
                         });
            if (plain) {
                out += head + Quote(v.Data);
            } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
                uint32_t n = 0;
                for (int i = 3; i >= 0; --i)
                    n = (n << 8) | static_cast<unsigned char>(v.Data[i]);
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", n);
                out += head + buf;
            } else {
                std::string data = v.Data;
                if (IsRegStringType(v.Type)) data += '\0';
                char kind[24] = "hex:";
                if (v.Type != REG_BINARY) std::snprintf(kind, sizeof kind, "hex(%x):", v.Type);
                out += HexLine(head + kind, data);
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    for (const auto& sub : key.SubKeys)
        SerialiseKey(*sub, path + "\\" + sub->Name, true, out);
}

} // namespace

RegKey* RegKey::Find(const AnsiString& name) const {
    for (const auto& k : SubKeys)
        if (RegNamesEqual(k->Name, name)) return k.get();
    return nullptr;
}

RegKey* RegKey::FindOrAdd(const AnsiString& name) {
    if (RegKey* k = Find(name)) return k;
    SubKeys.push_back(std::make_unique<RegKey>());
    SubKeys.back()->Name = name;
    return SubKeys.back().get();
}

RegValue* RegKey::FindValue(const AnsiString& name) {
    for (auto& v : Values)
        if (RegNamesEqual(v.Name, name)) return &v;
    return nullptr;
}

size_t ParseRegText(const std::string& text, const AnsiString& rootName, RegKey& into) {
    size_t skipped = 0;
    RegKey* current = nullptr;
    size_t i = 0;
    auto nextPhysical = [&](std::string& line) {
        size_t start = i;
        while (i < text.size() && text[i] != '\r' && text[i] != '\n')
            ++i;
        line.assign(text, start, i - start);
        if (i < text.size() && text[i] == '\r') ++i;
        if (i < text.size() && text[i] == '\n') ++i;
    };
    std::string line, more;
    while (i < text.size()) {
        nextPhysical(line);
        // Hex data may continue over several lines, each ending in a backslash.
        bool tooLong = line.size() > kMaxLogicalLine;
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
               i < text.size()) {
            nextPhysical(more);
            size_t lead = more.find_first_not_of(" \t");
            if (!tooLong) line.append(more, lead == std::string::npos ? more.size() : lead);
            if (line.size() > kMaxLogicalLine) tooLong = true;
        }
        if (tooLong) {
            ++skipped;
            continue;
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        line.erase(0, first);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line[0] == ';' || line == "REGEDIT4") continue;
        if (line[0] == '[') {
            current = nullptr;
            if (line.back() != ']' || line.size() < 2 || line[1] == '-') {
                ++skipped;
                continue;
            }
            AnsiString path = line.substr(1, line.size() - 2);
            if (path.size() < rootName.size() ||
                !RegNamesEqual(path.substr(0, rootName.size()), rootName) ||
                (path.size() > rootName.size() && path[rootName.size()] != '\\')) {
                ++skipped;
                continue;
            }
            current = &into;
            for (const auto& part : SplitRegPath(path.substr(rootName.size())))
                current = current->FindOrAdd(part);
            continue;
        }
        auto value = (line[0] == '"' || line[0] == '@') ? ParseValueLine(line) : std::nullopt;
        if (!value || !current) {
            ++skipped;
            continue;
        }
        if (RegValue* old = current->FindValue(value->Name))
            *old = std::move(*value);
        else
            current->Values.push_back(std::move(*value));
    }
    return skipped;
}

std::string SerialiseRegText(const RegKey& root, const AnsiString& rootName) {
    std::string out = "REGEDIT4\r\n\r\n";
    SerialiseKey(root, rootName, !root.Values.empty(), out);
    return out;
}

} // namespace platform
