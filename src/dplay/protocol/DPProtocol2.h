#pragma once
// The room's messages (docs/protocol.md): one view decided by the host,
// introductions checked by a secret, blocks numbered per pair and relayed
// through the host. Framing, HELLO, the directory messages (ENUM, REGISTER,
// ROOM_ADD/REMOVE) and JOIN_REQUEST, JOIN_ACCEPT, JOIN_REFUSE and
// CREATE_PLAYER are in DPProtocol.h.
#include "dplay/protocol/DPNetAddress.h"
#include "dplay/protocol/DPProtocol.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace dplay::proto2 {

using proto::DecodeHello;
using proto::EncodeHello;
using proto::TFrame;

constexpr uint16_t kVersion = proto::kVersion;

// Members of one room, whatever its MaxPlayers says: a view's link sets are
// 64-bit masks over the view's order, and a welcome stays below 300 KiB.
constexpr uint32_t kMaxMembers = 64;
constexpr uint32_t kMaxBlock = proto::kMaxBlock;
constexpr uint32_t kMaxFrame = proto::kMaxFrame;
constexpr size_t kMaxName = proto::kMaxName;

enum TMessageType : uint8_t {
    HELLO = proto::HELLO,
    JOIN_REQUEST = proto::JOIN_REQUEST,
    JOIN_ACCEPT = proto::JOIN_ACCEPT,
    JOIN_REFUSE = proto::JOIN_REFUSE,
    CREATE_PLAYER = proto::CREATE_PLAYER,
    WELCOME = 0x24,
    MEMBER_ADDED = 0x25,
    MEMBER_REMOVED = 0x26,
    LINKS = 0x27,
    LINK_VIEW = 0x28,
    NEW_HOST = 0x29,
    HOST_ACK = 0x2A,
    PEER_HELLO = 0x30,
    PEER_ACCEPT = 0x31,
    DATA = 0x40,
    PING = 0x41,
    ACK = 0x42,
    RELAY = 0x43,
    REMOVED = 0x44,
    REPORT = 0x2B,
    RESEND = 0x2C,
    BYE = 0x45,
};

using TSecret = std::array<uint8_t, 16>;
// SHA-256 of a member's public key (its DER SubjectPublicKeyInfo): the key
// its links present in their TLS handshake.
using TKeyId = std::array<uint8_t, 32>;

// One member as a view lists it. Links: the ids of the members it has a
// direct link to (on the wire, a mask over the view's order).
struct TViewEntry {
    uint32_t Id = 0;
    uint32_t JoinNumber = 0;
    TNetAddress Address; // none in the host's own entry: the address the joiner reached
    uint16_t Port = 0;
    std::string Name;
    std::set<uint32_t> Links;
    // The key its links show: the host's word for it, from the member's own
    // link to the host; a member link showing another is turned away.
    TKeyId Key{};

    friend bool operator==(const TViewEntry&, const TViewEntry&) = default;
};

// Members in ascending join number; that order gives the link masks meaning.
struct TViewMessage {
    uint32_t View = 0;
    uint32_t HostId = 0;
    std::vector<TViewEntry> Members;
};

struct TWelcome {
    TViewMessage View; // includes the newcomer itself
    uint32_t YourId = 0;
    // One per member of View, in its order: the secret of our pair with that
    // member (zero for ourselves and the host, with whom we need none).
    std::vector<TSecret> Secrets;
};

struct TMemberAdded {
    uint32_t View = 0;
    TViewEntry Member;
    TSecret Secret{}; // of the pair of the receiver and the newcomer only
};

// REPORT (member to host): a member broke the rules on its link with us.
struct TReport {
    uint32_t View = 0;
    uint32_t Id = 0;
};

struct TMemberRemoved {
    uint32_t View = 0;
    uint32_t Id = 0;
    // It ended its link to the host itself (it left, or its process ended):
    // its last blocks may still be on their way on a member's direct link.
    bool Left = false;
};

// LINKS (member to host): the sender's direct links in view `View`.
struct TLinks {
    uint32_t View = 0;
    uint64_t Mask = 0;
};

// LINK_VIEW (host to members): every member's links; Masks in view order.
struct TLinkView {
    uint32_t View = 0;
    std::vector<uint64_t> Masks;
};

struct TPeerHello {
    TGuid Instance;
    uint32_t TargetId = 0;
    uint32_t FromId = 0;
    TSecret Secret{}; // the pair's, given by the host to these two members only
};

struct TData {
    uint64_t Seq = 0;
    std::vector<uint8_t> Block;
};

// RELAY: Peer is the target on the way to the host and the sender (stamped
// by the host) on the way out. Inner is DATA or ACK.
struct TRelay {
    uint32_t Peer = 0;
    uint8_t InnerType = 0;
    std::vector<uint8_t> InnerBody;
};

TFrame EncodeEmpty(TMessageType type);
TFrame EncodeWelcome(const TWelcome& m);
TFrame EncodeMemberAdded(const TMemberAdded& m);
TFrame EncodeMemberRemoved(const TMemberRemoved& m);
TFrame EncodeLinks(const TLinks& m);
TFrame EncodeLinkView(const TLinkView& m);
TFrame EncodeNewHost(const TViewMessage& m);
TFrame EncodeHostAck(uint32_t view);
TFrame EncodeReport(const TReport& m);
// RESEND (host to member): what you sent to this peer through me, send again.
TFrame EncodeResend(uint32_t peer);
TFrame EncodePeerHello(const TPeerHello& m);
TFrame EncodeData(uint64_t seq, const void* block, uint32_t size);
TFrame EncodeAck(uint64_t seq);
TFrame EncodeRelay(uint32_t peer, uint8_t innerType, const uint8_t* innerBody, size_t size);

// Each decoder takes a frame body (after the type byte) and accepts it only
// when it is exact: complete, within its bounds, nothing left over, no id 0,
// no id twice, link masks only over the members listed.
std::optional<TWelcome> DecodeWelcome(const uint8_t* body, size_t size);
std::optional<TMemberAdded> DecodeMemberAdded(const uint8_t* body, size_t size);
std::optional<TMemberRemoved> DecodeMemberRemoved(const uint8_t* body, size_t size);
std::optional<TLinks> DecodeLinks(const uint8_t* body, size_t size);
std::optional<TLinkView> DecodeLinkView(const uint8_t* body, size_t size);
std::optional<TViewMessage> DecodeNewHost(const uint8_t* body, size_t size);
std::optional<uint32_t> DecodeHostAck(const uint8_t* body, size_t size);
std::optional<TReport> DecodeReport(const uint8_t* body, size_t size);
std::optional<uint32_t> DecodeResend(const uint8_t* body, size_t size);
std::optional<TPeerHello> DecodePeerHello(const uint8_t* body, size_t size);
std::optional<TData> DecodeData(const uint8_t* body, size_t size);
std::optional<uint64_t> DecodeAck(const uint8_t* body, size_t size);
std::optional<TRelay> DecodeRelay(const uint8_t* body, size_t size);
bool DecodeEmpty(const uint8_t* body, size_t size);

// A name (player or room) that may be shown: no control byte. In CP932 the
// second byte of a double-byte character is never below 0x40, so a byte
// below 0x20 or 0x7F is always a control character, wherever it stands.
bool NameShowable(const std::string& name);

// Masks over a view's order (ascending join number) and back.
uint64_t MaskOf(const std::set<uint32_t>& ids, const std::vector<uint32_t>& order);
std::set<uint32_t> IdsOf(uint64_t mask, const std::vector<uint32_t>& order);

} // namespace dplay::proto2
