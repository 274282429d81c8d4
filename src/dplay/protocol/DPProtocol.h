#pragma once
// The wire protocol between session services (docs/protocol.md): message
// types, limits, and the codec of every message body.
#include "dplay/protocol/DPGuid.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dplay::proto {

using TFrame = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint8_t kMagic[8] = {'P', 'A', 'R', 'L', 'D', 'P', '\r', '\n'};
constexpr uint16_t kVersion = 1;

// Limits. A frame's length counts its type byte and body.
constexpr uint32_t kMaxBlock = 8u << 20;           // one data block: 8 MiB
constexpr uint32_t kMaxFrame = kMaxBlock + 1;      // DATA is the largest frame
constexpr uint32_t kMaxHandshakeFrame = 8192;      // HELLO and the request that follows it
constexpr size_t kMaxName = 4096;                  // session and player names, bytes
constexpr uint32_t kMaxListed = 1024;              // rooms in a reply, members in a welcome
constexpr uint64_t kMaxUnsentBytes = 128ull << 20; // queued towards one peer
constexpr int kHandshakeTimeoutMs = 5000;          // HELLO and request must arrive by then
constexpr int kKeepaliveIntervalMs = 1000;         // PING when nothing else was sent
constexpr int kKeepaliveTimeoutMs = 10000;         // silence that ends a link
constexpr int kJoinDeadlineMs = 5000;              // JOIN_ACCEPT to CREATE_PLAYER

enum TMessageType : uint8_t {
    HELLO = 0x01,
    ENUM_REQUEST = 0x10,
    ENUM_REPLY = 0x11,
    JOIN_REQUEST = 0x20,
    JOIN_ACCEPT = 0x21,
    JOIN_REFUSE = 0x22,
    CREATE_PLAYER = 0x23,
    WELCOME = 0x24,
    PEER_HELLO = 0x30,
    PEER_ACCEPT = 0x31,
    DATA = 0x40,
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

struct TMemberInfo {
    uint32_t Id = 0;
    uint32_t Seq = 0;  // join order; the lowest is the host
    uint32_t Ipv4 = 0; // a.b.c.d as a<<24|b<<16|c<<8|d; 0: the address the joiner reached
    uint16_t Port = 0;
    std::string Name;
};

struct TWelcome {
    uint32_t YourId = 0;
    uint32_t YourSeq = 0;
    std::vector<TMemberInfo> Members;
};

struct TPeerHello {
    TGuid Instance;
    uint32_t TargetId = 0;
    TMemberInfo From; // Ipv4 unused: the target takes the connection's address
};

struct TCreatePlayer {
    uint16_t ListenPort = 0;
    std::string Name;
};

TFrame EncodeHello(const THello& m);
// HELLO as a given protocol version writes and accepts it.
TFrame EncodeHelloOfVersion(const THello& m, uint16_t version);
TFrame EncodeEmpty(TMessageType type);
TFrame EncodeEnumReply(const std::vector<TRoomInfo>& rooms);
TFrame EncodeJoinRequest(const TGuid& instance);
TFrame EncodeJoinAccept(const TRoomInfo& room);
TFrame EncodeJoinRefuse(int32_t result);
TFrame EncodeCreatePlayer(const TCreatePlayer& m);
TFrame EncodeWelcome(const TWelcome& m);
TFrame EncodePeerHello(const TPeerHello& m);
TFrame EncodeData(const void* data, uint32_t size);
TFrame EncodeRoomAdd(const TRoomInfo& room);
TFrame EncodeRoomRemove(const TGuid& instance);

// Each decoder takes a frame body (after the type byte) and accepts it only
// when it is complete, within the limits and without trailing bytes.
std::optional<THello> DecodeHello(const uint8_t* body, size_t size);
std::optional<THello> DecodeHelloOfVersion(const uint8_t* body, size_t size, uint16_t version);
std::optional<std::vector<TRoomInfo>> DecodeEnumReply(const uint8_t* body, size_t size);
std::optional<TGuid> DecodeJoinRequest(const uint8_t* body, size_t size);
std::optional<TRoomInfo> DecodeJoinAccept(const uint8_t* body, size_t size);
std::optional<int32_t> DecodeJoinRefuse(const uint8_t* body, size_t size);
std::optional<TCreatePlayer> DecodeCreatePlayer(const uint8_t* body, size_t size);
std::optional<TWelcome> DecodeWelcome(const uint8_t* body, size_t size);
std::optional<TPeerHello> DecodePeerHello(const uint8_t* body, size_t size);
std::optional<TRoomInfo> DecodeRoomAdd(const uint8_t* body, size_t size);
std::optional<TGuid> DecodeRoomRemove(const uint8_t* body, size_t size);
bool DecodeEmpty(const uint8_t* body, size_t size);

// A welcome a joiner may act on: the host first, every id neither 0, nor
// 0xFFFFFFFF, nor the joiner's own, none twice, and no more members than the
// room's limit (0: none) lets in. Data from an id 0 would pass for a system
// notice, from the own id for our own text.
bool WelcomeIsSound(const TWelcome& m, uint32_t maxPlayers);

} // namespace dplay::proto
