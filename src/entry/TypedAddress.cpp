#include "TypedAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace entry {

namespace {

constexpr size_t kMaxName = 253;
constexpr size_t kMaxLabel = 63;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsHex(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// A character for a message: itself when printable, else its code.
std::string Shown(char c) {
    if (c > 0x20 && c < 0x7F) return std::string(1, c);
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(c));
    return code;
}
bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

TAddressParse Fail(TAddressError error, char c = 0) {
    TAddressParse p;
    p.Error = error;
    p.Character = c;
    return p;
}

TAddressParse Done(TTypedAddress::TKind kind, std::string host, uint16_t port) {
    TAddressParse p;
    p.Address = TTypedAddress{kind, std::move(host), port};
    return p;
}

std::vector<std::string_view> Split(std::string_view s, char at) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t i = s.find(at);
        parts.push_back(s.substr(0, i));
        if (i == std::string_view::npos) return parts;
        s.remove_prefix(i + 1);
    }
}

// The text after ":"; 0 on failure, with `error` set.
uint16_t ParsePort(std::string_view s, TAddressError& error) {
    if (s.empty()) {
        error = TAddressError::NoPort;
        return 0;
    }
    if (!AllDigits(s) || s.size() > 5) {
        error = TAddressError::BadPort;
        return 0;
    }
    unsigned value = 0;
    for (char c : s)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value == 0 || value > 65535) {
        error = TAddressError::BadPort;
        return 0;
    }
    return static_cast<uint16_t>(value);
}

// Nobody can be entered at "this network" (0/8), a multicast address, the
// reserved block above it or the broadcast address.
bool UsableIPv4(const std::array<unsigned, 4>& a) {
    return a[0] != 0 && a[0] < 224;
}

std::string DottedIPv4(const std::array<unsigned, 4>& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

// Four decimal numbers 0..255, without leading zeros: inet_aton would take
// 010 for 8, a person means 10.
TAddressError ParseIPv4(std::string_view s, std::array<unsigned, 4>& out) {
    auto parts = Split(s, '.');
    if (parts.size() != 4) return TAddressError::BadIPv4;
    bool leadingZero = false;
    for (size_t i = 0; i < 4; ++i) {
        std::string_view p = parts[i];
        if (!AllDigits(p)) return TAddressError::BadIPv4;
        if (p.size() > 1 && p[0] == '0') leadingZero = true;
        while (p.size() > 1 && p[0] == '0')
            p.remove_prefix(1);
        if (p.size() > 3) return TAddressError::BadIPv4;
        unsigned v = 0;
        for (char c : p)
            v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 255) return TAddressError::BadIPv4;
        out[i] = v;
    }
    return leadingZero ? TAddressError::LeadingZero : TAddressError::None;
}

// The short form: lower-case hex, no leading zeros, the longest run of two
// or more zero groups (the first of equals) as "::".
std::string ShortIPv6(const unsigned char* b) {
    std::array<unsigned, 8> g{};
    for (size_t i = 0; i < 8; ++i)
        g[i] = static_cast<unsigned>(b[2 * i]) << 8 | b[2 * i + 1];
    int bestAt = -1, bestLen = 0;
    for (int i = 0; i < 8;) {
        if (g[static_cast<size_t>(i)] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[static_cast<size_t>(j)] == 0)
            ++j;
        if (j - i > bestLen && j - i >= 2) {
            bestAt = i;
            bestLen = j - i;
        }
        i = j;
    }
    std::string out;
    char hex[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            out += "::";
            i += bestLen - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        std::snprintf(hex, sizeof hex, "%x", g[static_cast<size_t>(i)]);
        out += hex;
    }
    return out;
}

TAddressParse FromIPv6(std::string_view inside, uint16_t port) {
    if (inside.find('%') != std::string_view::npos) return Fail(TAddressError::ZoneId);
    unsigned char b[16];
    const std::string text(inside);
    if (inet_pton(AF_INET6, text.c_str(), b) != 1) return Fail(TAddressError::BadIPv6);
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(mapped, mapped + 12, b)) {
        std::array<unsigned, 4> a{b[12], b[13], b[14], b[15]};
        if (!UsableIPv4(a)) return Fail(TAddressError::Unusable);
        return Done(TTypedAddress::IPv4, DottedIPv4(a), port);
    }
    bool unspecified = true;
    for (unsigned char c : b)
        unspecified = unspecified && c == 0;
    if (unspecified || b[0] == 0xff) return Fail(TAddressError::Unusable);
    return Done(TTypedAddress::IPv6, ShortIPv6(b), port);
}

// An IPv4 address or a host name, without port.
TAddressParse FromHost(std::string_view host, uint16_t port) {
    if (host.empty()) return Fail(TAddressError::Empty);
    if (host.find('%') != std::string_view::npos) return Fail(TAddressError::BadCharacter, '%');
    auto labels = Split(host, '.');
    // One dot at the end names the root ("example.net."), for names only.
    const bool rooted = labels.size() > 1 && labels.back().empty();
    if (rooted) labels.pop_back();
    // A top-level label is never all digits: the text is an IPv4 address.
    if (AllDigits(labels.back())) {
        std::array<unsigned, 4> a{};
        TAddressError e = ParseIPv4(host, a);
        if (e != TAddressError::None) return Fail(e);
        if (!UsableIPv4(a)) return Fail(TAddressError::Unusable);
        return Done(TTypedAddress::IPv4, DottedIPv4(a), port);
    }
    if (host.size() - (rooted ? 1 : 0) > kMaxName) return Fail(TAddressError::TooLong);
    for (std::string_view label : labels) {
        if (label.empty()) return Fail(TAddressError::EmptyLabel);
        if (label.size() > kMaxLabel) return Fail(TAddressError::LongLabel);
        if (label.front() == '-' || label.back() == '-') return Fail(TAddressError::HyphenAtEdge);
    }
    return Done(TTypedAddress::Name, std::string(host), port);
}

} // namespace

std::string TTypedAddress::Text() const {
    std::string text = Kind == IPv6 ? "[" + Host + "]" : Host;
    if (Port) text += ":" + std::to_string(Port);
    return text;
}

TAddressParse ParseTypedAddress(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    if (text.empty()) return Fail(TAddressError::Empty);
    if (text.size() > kMaxTypedAddress) return Fail(TAddressError::TooLong);
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return Fail(TAddressError::NotAscii);
    for (char c : text)
        if (IsBlank(c)) return Fail(TAddressError::Space);
    if (text.find("://") != std::string_view::npos) return Fail(TAddressError::Url);
    for (char c : text)
        if (!IsAlnum(c) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']' && c != '%')
            return Fail(TAddressError::BadCharacter, c);

    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos) return Fail(TAddressError::UnclosedBracket);
        std::string_view inside = text.substr(1, close - 1);
        std::string_view after = text.substr(close + 1);
        if (inside.find('[') != std::string_view::npos ||
            after.find_first_of("[]") != std::string_view::npos)
            return Fail(TAddressError::StrayBracket);
        uint16_t port = 0;
        if (!after.empty()) {
            if (after.front() != ':') return Fail(TAddressError::AfterBracket);
            TAddressError e = TAddressError::None;
            port = ParsePort(after.substr(1), e);
            if (e != TAddressError::None) return Fail(e);
        }
        if (inside.find(':') == std::string_view::npos)
            return Fail(TAddressError::NotIPv6InBrackets);
        return FromIPv6(inside, port);
    }
    if (text.find_first_of("[]") != std::string_view::npos)
        return Fail(TAddressError::StrayBracket);

    const size_t colons = static_cast<size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons >= 2) {
        // Only hex digits, ":" and "." (and a zone) make an IPv6 attempt;
        // anything else is a name or IPv4 address with too many ports.
        bool v6 = true;
        for (char c : text.substr(0, text.find('%')))
            v6 = v6 && (IsHex(c) || c == ':' || c == '.');
        if (!v6) return Fail(TAddressError::TooManyColons);
        return FromIPv6(text, 0);
    }
    if (colons == 1) {
        size_t at = text.find(':');
        TAddressError e = TAddressError::None;
        uint16_t port = ParsePort(text.substr(at + 1), e);
        if (e != TAddressError::None) return Fail(e);
        return FromHost(text.substr(0, at), port);
    }
    return FromHost(text, 0);
}

namespace {

// What is wrong, in Japanese and in English; "%c" stands for the character
// at fault.
std::pair<const char*, const char*> Texts(TAddressError error) {
    switch (error) {
    case TAddressError::None:
        return {"", ""};
    case TAddressError::Empty:
        return {"接続先のIPアドレスを入力して下さい", "no address given"};
    case TAddressError::TooLong:
        return {"接続先のアドレスが長すぎます(ホスト名は253文字までです)",
                "the address is too long (a host name has at most 253 characters)"};
    case TAddressError::NotAscii:
        return {
            "接続先のアドレスに全角文字などの使えない文字があります。半角の英数字で入力して下さい",
            "the address holds full-width or other non-ASCII characters"};
    case TAddressError::Space:
        return {"接続先のアドレスに空白があります", "the address holds a blank"};
    case TAddressError::Url:
        return {"接続先にはURLではなく、IPアドレスかホスト名だけを入力して下さい",
                "give an address or a host name, not a URL"};
    case TAddressError::BadCharacter:
        return {"接続先のアドレスに使えない文字「%c」があります",
                "no address or host name holds the character '%c'"};
    case TAddressError::UnclosedBracket:
        return {"接続先のアドレスの「[」を「]」で閉じて下さい(例: [2001:db8::5]:47624)",
                "'[' without its ']' (e.g. [2001:db8::5]:47624)"};
    case TAddressError::StrayBracket:
        return {"「[ ]」はIPv6アドレスを囲むときだけ使えます(例: [2001:db8::5]:47624)",
                "brackets only go around an IPv6 address (e.g. [2001:db8::5]:47624)"};
    case TAddressError::AfterBracket:
        return {"「]」の後にはポート番号(:47624 など)しか書けません",
                "only ':port' may follow ']'"};
    case TAddressError::NotIPv6InBrackets:
        return {"「[ ]」の中にはIPv6アドレスを書いて下さい", "brackets hold an IPv6 address"};
    case TAddressError::ZoneId:
        return {"IPv6アドレスのゾーンID(「%」から後)は使えません",
                "IPv6 zone ids ('%...') are not supported"};
    case TAddressError::BadIPv6:
        return {"IPv6アドレスとして正しくありません", "not a valid IPv6 address"};
    case TAddressError::TooManyColons:
        return {"「:」はポート番号の前に1つだけ書けます(IPv6アドレスにポート番号を付けるときは "
                "[2001:db8::5]:47624 のように書きます)",
                "one ':' before the port only (an IPv6 address with a port goes in brackets)"};
    case TAddressError::BadIPv4:
        return {"IPv4アドレスは0から255までの4つの数を「.」で区切って書きます(例: 192.168.0.5)",
                "an IPv4 address is four numbers from 0 to 255 joined by '.' (e.g. 192.168.0.5)"};
    case TAddressError::LeadingZero:
        return {"IPv4アドレスの数の頭に0を付けないで下さい(010 ではなく 10 と書きます)",
                "no leading zeros in an IPv4 address (10, not 010)"};
    case TAddressError::Unusable:
        return {"このアドレスには接続できません(0.0.0.0、ブロードキャスト、マルチキャストなど)",
                "no host can be reached at this address (unspecified, broadcast or multicast)"};
    case TAddressError::NoPort:
        return {"「:」の後にポート番号がありません", "no port after ':'"};
    case TAddressError::BadPort:
        return {"ポート番号は1から65535までの数で書いて下さい",
                "a port is a number from 1 to 65535"};
    case TAddressError::EmptyLabel:
        return {"ホスト名の「.」と「.」の間(または頭)が空です",
                "the host name has an empty label (two dots together, or a dot first)"};
    case TAddressError::LongLabel:
        return {"ホスト名の「.」で区切られた部分は63文字までです",
                "a label of a host name has at most 63 characters"};
    case TAddressError::HyphenAtEdge:
        return {"ホスト名の「.」で区切られた部分は「-」で始めたり終えたりできません",
                "a label of a host name neither starts nor ends with '-'"};
    }
    return {"", ""};
}

std::string Filled(const char* text, char c) {
    std::string out = text;
    if (size_t at = out.find("%c"); at != std::string::npos) out.replace(at, 2, Shown(c));
    return out;
}

} // namespace

std::string TAddressParse::Message() const {
    return Filled(Texts(Error).first, Character);
}

std::string TAddressParse::English() const {
    return Filled(Texts(Error).second, Character);
}

} // namespace entry
