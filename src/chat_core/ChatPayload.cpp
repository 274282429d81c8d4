#include "ChatPayload.h"

#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "text/SjisText.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace chat {
namespace {

void PutInt(TPayload& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetInt(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

TPayload BuildGame(TPayloadKind kind, int32_t value) {
    TPayload out;
    out.reserve(8);
    PutInt(out, kind);
    PutInt(out, static_cast<uint32_t>(value));
    return out;
}

// The fixed parts of the game lines, converted once.
struct TGameTexts {
    AnsiString ResetHead = platform::Utf8ToCp932("Jyankenは");
    AnsiString ResetTail = platform::Utf8ToCp932("によってリセットされました");
    AnsiString Decided = platform::Utf8ToCp932("がJyankenの手を決めました");
    AnsiString RevealHead = platform::Utf8ToCp932("は");
    AnsiString RevealTail = platform::Utf8ToCp932("しました");
    std::array<AnsiString, 5> Reveal = {
        platform::Utf8ToCp932("不明で"),     platform::Utf8ToCp932("ぐぅを出"),
        platform::Utf8ToCp932("ちょきを出"), platform::Utf8ToCp932("ぱぁを出"),
        platform::Utf8ToCp932("棄権"),
    };
};

const TGameTexts& Texts() {
    static const TGameTexts texts;
    return texts;
}

} // namespace

TPayload BuildChatText(const AnsiString& text) {
    // L is a signed 32-bit count that includes the terminating zero.
    if (text.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw platform::Exception("Chat text too long");
    TPayload out;
    out.reserve(12 + text.size() + 1);
    PutInt(out, pkChatText);
    PutInt(out, static_cast<uint32_t>(text.size() + 1));
    out += text;
    out.push_back('\0');
    PutInt(out, 0);
    return out;
}

TPayload BuildJyankenDecide(int32_t value) {
    return BuildGame(pkJyankenDecide, value);
}

TPayload BuildJyankenReveal(int32_t value) {
    return BuildGame(pkJyankenReveal, value);
}

std::optional<AnsiString> ReadChatText(const void* data, size_t size) {
    if (!data || size < 8) return std::nullopt;
    auto* p = static_cast<const unsigned char*>(data);
    if (GetInt(p) != pkChatText) return std::nullopt;
    auto length = static_cast<int32_t>(GetInt(p + 4));
    if (length <= 0) return AnsiString();
    size_t limit = std::min(static_cast<size_t>(length), size - 8);
    auto* text = reinterpret_cast<const char*>(p + 8);
    auto* zero = static_cast<const char*>(std::memchr(text, 0, limit));
    return AnsiString(text, zero ? static_cast<size_t>(zero - text) : limit);
}

AnsiString HandleOf(const AnsiString& playerName) {
    AnsiString rest = playerName;
    // An address holding ":" of its own comes in brackets and is taken
    // whole. Without its "]" the "[" is no such address.
    if (!rest.empty() && rest[0] == '[') {
        AnsiString after = rest.substr(1);
        const AnsiString inside = net::SplitAtDelimiter(after, "]");
        if (inside.size() + 1 < rest.size() - after.size()) rest = after;
    }
    // Everything after the first ":" that is a character of its own (the
    // address before it may be empty); nothing is left without one.
    net::SplitAtDelimiter(rest, ":");
    return rest;
}

std::optional<AnsiString> RevealText(int32_t value) {
    if (value < 0 || value > 4) return std::nullopt;
    return Texts().Reveal[static_cast<size_t>(value)];
}

TDispatchResult DispatchPayload(const AnsiString& senderName, const void* data, size_t size,
                                const TPayloadEvents& events) {
    if (!data || size < 4) return TDispatchResult::Dropped;
    auto* p = static_cast<const unsigned char*>(data);
    uint32_t kind = GetInt(p);
    if (kind == pkChatText) {
        auto text = ReadChatText(data, size);
        if (!text) return TDispatchResult::Dropped;
        if (events.OnText) events.OnText(senderName, *text);
        return TDispatchResult::Text;
    }
    if ((kind != pkJyankenDecide && kind != pkJyankenReveal) || size < 8)
        return TDispatchResult::Dropped;
    auto value = static_cast<int32_t>(GetInt(p + 4));
    const TGameTexts& t = Texts();
    AnsiString handle = HandleOf(senderName);
    if (kind == pkJyankenReveal) {
        auto reveal = RevealText(value);
        if (!reveal) return TDispatchResult::Dropped;
        if (events.OnGameLine) events.OnGameLine(handle + t.RevealHead + *reveal + t.RevealTail);
        return TDispatchResult::Revealed;
    }
    if (value == jhReset) {
        if (events.OnGameLine) events.OnGameLine(t.ResetHead + handle + t.ResetTail);
        if (events.OnJyankenReset) events.OnJyankenReset(handle);
        return TDispatchResult::Reset;
    }
    // The hand itself stays hidden until the reveals.
    if (events.OnGameLine) events.OnGameLine(handle + t.Decided);
    if (events.OnJyankenDecided) events.OnJyankenDecided(handle);
    return TDispatchResult::Decided;
}

void SendToRoom(const TSendFunction& send, std::optional<uint32_t> ownPlayerId,
                const TPayload& payload) {
    // Without a session the send itself does nothing; without an own player
    // (a lost session) there is no own copy to deliver.
    if (!send) return;
    send(0, payload.data(), payload.size());
    if (ownPlayerId) send(*ownPlayerId, payload.data(), payload.size());
}

} // namespace chat
