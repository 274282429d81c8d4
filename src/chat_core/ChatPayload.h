#pragma once
// The payloads that members of a room exchange: a chat text and the two
// rock-paper-scissors payloads. Building, reading and dispatching them needs
// no window, so the chat window and the headless member share this code.
//
// Layout (integers 32-bit little-endian, texts CP932 bytes):
//   ChatText       kind 0 | L (text length + 1) | text | 0 | 4 reserved zero bytes
//   JyankenDecide  kind 1 | value (1 rock .. 4 pass, 5 reset)
//   JyankenReveal  kind 2 | value (own hand 1..4, or -1 when none chosen)
#include "platform/AnsiString.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace chat {

enum TPayloadKind : uint32_t {
    pkChatText = 0,
    pkJyankenDecide = 1,
    pkJyankenReveal = 2,
};

// Values of a JyankenDecide (the game window's button tags).
enum : int32_t {
    jhRock = 1,
    jhScissors = 2,
    jhPaper = 3,
    jhPass = 4,
    jhReset = 5,
    jhNone = -1, // a reveal from a member that chose no hand
};

// Raw payload bytes as handed to the session's send operation.
using TPayload = std::string;

TPayload BuildChatText(const AnsiString& text);
TPayload BuildJyankenDecide(int32_t value);
TPayload BuildJyankenReveal(int32_t value);

// The text of a ChatText, or nullopt when the bytes are not a readable
// ChatText (shorter than its 8-byte head, or another kind). Never reads past
// `size`: a length pointing past the end is cut at the end of the data.
std::optional<AnsiString> ReadChatText(const void* data, size_t size);

// The handle shown for a player name ("192.168.0.5:taro" -> "taro",
// "[2001:db8::5]:taro" -> "taro", ":taro" -> "taro"): a leading address in
// brackets is passed over whole, then the handle is everything after the
// first ":" that is a character of its own (not the second byte of a
// double-byte character). Empty when there is no such ":".
AnsiString HandleOf(const AnsiString& playerName);

// The reveal text for values 0..4 ("ぐぅを出" ...), nullopt for any other.
std::optional<AnsiString> RevealText(int32_t value);

// Reactions to a received payload. Any of them may be left empty. Log lines
// are CP932 and belong in the log as entries without sender.
struct TPayloadEvents {
    // A chat text, also an empty one (the log still refreshes and notifies).
    std::function<void(const AnsiString& senderName, const AnsiString& text)> OnText;
    // A line of the game: decision, reset or reveal. Runs before OnJyankenReset
    // and OnJyankenDecided.
    std::function<void(const AnsiString& line)> OnGameLine;
    // Someone reset the round: close the game window if one is open.
    std::function<void(const AnsiString& handle)> OnJyankenReset;
    // Someone decided: open the game window and count the handle.
    std::function<void(const AnsiString& handle)> OnJyankenDecided;
};

// What a payload turned out to be.
enum class TDispatchResult { Text, Decided, Reset, Revealed, Dropped };

// Reads one received payload from the member named `senderName` and raises
// the matching events. Unknown kinds, reveal values outside 0..4, payloads
// too short for their head and anything under 4 bytes are dropped without a
// sound. Reads nothing past `size`.
TDispatchResult DispatchPayload(const AnsiString& senderName, const void* data, size_t size,
                                const TPayloadEvents& events);

// Hands a payload to `send` twice: to 0 (every other member), then, when
// there is an own player, to its id so the sender handles its own copy too.
using TSendFunction = std::function<void(uint32_t to, const void* data, size_t size)>;
void SendToRoom(const TSendFunction& send, std::optional<uint32_t> ownPlayerId,
                const TPayload& payload);

} // namespace chat
