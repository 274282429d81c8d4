#pragma once
// The wire protocol between session services (docs/protocol.md): framing,
// the handshake, the directory's messages and the requests that open a join,
// with their limits and codecs. The room's own messages are in DPProtocol2.h.
#include "dplay/protocol/DPGuid.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dplay::proto {

using TFrame = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint8_t kMagic[8] = {'P', 'A', 'R', 'L', 'D', 'P', '\r', '\n'};
// What HELLO says; a peer whose HELLO says anything else is not answered.
// 3: each pair's secret is its own (WELCOME carries one per member), BYE,
// REPORT and RESEND. 4: a member's address holds IPv6 as well (16 bytes).
// 5: every link runs TLS 1.3 and views carry each member's key.
constexpr uint16_t kVersion = 5;

// Limits. A frame's length counts its type byte and body.
constexpr uint32_t kMaxBlock = 8u << 20; // one data block: 8 MiB
// RELAY around DATA is the largest frame: type, peer id, inner type, seq, block.
constexpr uint32_t kMaxFrame = 1 + 4 + 1 + 8 + kMaxBlock;
constexpr uint32_t kMaxHandshakeFrame = 8192;      // HELLO and the request that follows it
constexpr size_t kMaxName = 4096;                  // session and player names, bytes
constexpr uint32_t kMaxListed = 1024;              // rooms in a reply or a directory
constexpr uint64_t kMaxUnsentBytes = 128ull << 20; // queued towards one peer
constexpr int kHandshakeTimeoutMs = 5000;          // HELLO and request must arrive by then
constexpr int kKeepaliveIntervalMs = 1000;         // PING when nothing else was sent
constexpr int kKeepaliveTimeoutMs = 10000;         // silence that ends a link
// A frame whose first byte has arrived must be complete within
// kFrameFloorMs + its length at kFrameMinBytesPerSecond, counting each pause
// between two of its reads as at most kFrameGapCountedMs. A sender writes a
// frame whole, so its bytes follow each other at the speed of the path;
// bytes that keep coming but never finish the frame (a trickle, or a frame
// cut short with the next frames read into it) end the link well before the
// silence bound. A pause with nothing at all arriving is a stall, which the
// room tolerates up to the silence bound between frames as well: counted as
// at most a second, it is left to that bound, so a network that stops for a
// few seconds in the middle of a large block costs no member its place.
constexpr int kFrameFloorMs = 5000;
constexpr uint32_t kFrameMinBytesPerSecond = 128u << 10; // 8 MiB in 64 s more
constexpr int kFrameGapCountedMs = 1000;

enum TMessageType : uint8_t {
    HELLO = 0x01,
    ENUM_REQUEST = 0x10,
    ENUM_REPLY = 0x11,
    JOIN_REQUEST = 0x20,
    JOIN_ACCEPT = 0x21,
    JOIN_REFUSE = 0x22,
    CREATE_PLAYER = 0x23,
    PING = 0x41,
    REGISTER = 0x50,
    ROOM_ADD = 0x51,
    ROOM_REMOVE = 0x52,
};

struct THello {
    TGuid Application; // null on a registration link
};

struct TRoomInfo {
    TGuid Application;
    TGuid Instance;
    uint16_t Port = 0; // 0: the port the enumeration went to
    uint32_t MaxPlayers = 0;
    uint32_t CurrentPlayers = 0;
    std::string Name;
};

struct TCreatePlayer {
    uint16_t ListenPort = 0;
    std::string Name;
};

TFrame EncodeHello(const THello& m);
TFrame EncodeEmpty(TMessageType type);
TFrame EncodeEnumReply(const std::vector<TRoomInfo>& rooms);
TFrame EncodeJoinRequest(const TGuid& instance);
TFrame EncodeJoinAccept(const TRoomInfo& room);
TFrame EncodeJoinRefuse(int32_t result);
TFrame EncodeCreatePlayer(const TCreatePlayer& m);
TFrame EncodeRoomAdd(const TRoomInfo& room);
TFrame EncodeRoomRemove(const TGuid& instance);

// Each decoder takes a frame body (after the type byte) and accepts it only
// when it is complete, within the limits and without trailing bytes.
std::optional<THello> DecodeHello(const uint8_t* body, size_t size);
std::optional<std::vector<TRoomInfo>> DecodeEnumReply(const uint8_t* body, size_t size);
std::optional<TGuid> DecodeJoinRequest(const uint8_t* body, size_t size);
std::optional<TRoomInfo> DecodeJoinAccept(const uint8_t* body, size_t size);
std::optional<int32_t> DecodeJoinRefuse(const uint8_t* body, size_t size);
std::optional<TCreatePlayer> DecodeCreatePlayer(const uint8_t* body, size_t size);
std::optional<TRoomInfo> DecodeRoomAdd(const uint8_t* body, size_t size);
std::optional<TGuid> DecodeRoomRemove(const uint8_t* body, size_t size);
bool DecodeEmpty(const uint8_t* body, size_t size);

} // namespace dplay::proto
