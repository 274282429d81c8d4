#include "dplay/protocol/DPProtocol.h"

#include "dplay/protocol/DPWireReader.h"
#include "dplay/protocol/DPWireWriter.h"

#include <cstring>
#include <set>

namespace dplay::proto {
namespace {

void PutRoom(TDPWireWriter& w, const TRoomInfo& r, bool withApplication) {
    if (withApplication) w.Guid(r.Application);
    w.Guid(r.Instance).U16(r.Port).U32(r.MaxPlayers).U32(r.CurrentPlayers).Text(r.Name, kMaxName);
}

TRoomInfo GetRoom(TDPWireReader& r, bool withApplication) {
    TRoomInfo room;
    if (withApplication) room.Application = r.Guid();
    room.Instance = r.Guid();
    room.Port = r.U16();
    room.MaxPlayers = r.U32();
    room.CurrentPlayers = r.U32();
    room.Name = r.Text(kMaxName);
    return room;
}

void PutMember(TDPWireWriter& w, const TMemberInfo& m) {
    w.U32(m.Id).U32(m.Seq).U32(m.Ipv4).U16(m.Port).Text(m.Name, kMaxName);
}

TMemberInfo GetMember(TDPWireReader& r) {
    TMemberInfo m;
    m.Id = r.U32();
    m.Seq = r.U32();
    m.Ipv4 = r.U32();
    m.Port = r.U16();
    m.Name = r.Text(kMaxName);
    return m;
}

template <class T> std::optional<T> Checked(const TDPWireReader& r, T value) {
    if (!r.Done()) return std::nullopt;
    return value;
}

} // namespace

TFrame EncodeHello(const THello& m) {
    return EncodeHelloOfVersion(m, kVersion);
}

TFrame EncodeHelloOfVersion(const THello& m, uint16_t version) {
    return TDPWireWriter(HELLO, 28).Raw(kMagic, 8).U16(version).U16(0).Guid(m.Application).Finish();
}

TFrame EncodeEmpty(TMessageType type) {
    return TDPWireWriter(type).Finish();
}

TFrame EncodeEnumReply(const std::vector<TRoomInfo>& rooms) {
    TDPWireWriter w(ENUM_REPLY);
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(rooms.size()), kMaxListed);
    w.U32(n);
    for (uint32_t i = 0; i < n; ++i)
        PutRoom(w, rooms[i], false);
    return w.Finish();
}

TFrame EncodeJoinRequest(const TGuid& instance) {
    return TDPWireWriter(JOIN_REQUEST, 16).Guid(instance).Finish();
}

TFrame EncodeJoinAccept(const TRoomInfo& room) {
    TDPWireWriter w(JOIN_ACCEPT);
    PutRoom(w, room, false);
    return w.Finish();
}

TFrame EncodeJoinRefuse(int32_t result) {
    return TDPWireWriter(JOIN_REFUSE, 4).U32(static_cast<uint32_t>(result)).Finish();
}

TFrame EncodeCreatePlayer(const TCreatePlayer& m) {
    return TDPWireWriter(CREATE_PLAYER).U16(m.ListenPort).Text(m.Name, kMaxName).Finish();
}

TFrame EncodeWelcome(const TWelcome& m) {
    TDPWireWriter w(WELCOME);
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(m.Members.size()), kMaxListed);
    w.U32(m.YourId).U32(m.YourSeq).U32(n);
    for (uint32_t i = 0; i < n; ++i)
        PutMember(w, m.Members[i]);
    return w.Finish();
}

TFrame EncodePeerHello(const TPeerHello& m) {
    TDPWireWriter w(PEER_HELLO);
    w.Guid(m.Instance).U32(m.TargetId);
    PutMember(w, m.From);
    return w.Finish();
}

TFrame EncodeData(const void* data, uint32_t size) {
    return TDPWireWriter(DATA, size).Raw(data, size).Finish();
}

TFrame EncodeRoomAdd(const TRoomInfo& room) {
    TDPWireWriter w(ROOM_ADD);
    PutRoom(w, room, true);
    return w.Finish();
}

TFrame EncodeRoomRemove(const TGuid& instance) {
    return TDPWireWriter(ROOM_REMOVE, 16).Guid(instance).Finish();
}

std::optional<THello> DecodeHello(const uint8_t* body, size_t size) {
    return DecodeHelloOfVersion(body, size, kVersion);
}

std::optional<THello> DecodeHelloOfVersion(const uint8_t* body, size_t size, uint16_t wanted) {
    TDPWireReader r(body, size);
    uint8_t magic[8];
    for (uint8_t& b : magic)
        b = r.U8();
    uint16_t version = r.U16();
    r.U16(); // reserved
    THello m{r.Guid()};
    if (!r.Done() || std::memcmp(magic, kMagic, 8) != 0 || version != wanted) return std::nullopt;
    return m;
}

std::optional<std::vector<TRoomInfo>> DecodeEnumReply(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    uint32_t n = r.U32();
    if (!r.Ok() || n > kMaxListed) return std::nullopt;
    std::vector<TRoomInfo> rooms;
    for (uint32_t i = 0; i < n && r.Ok(); ++i)
        rooms.push_back(GetRoom(r, false));
    return Checked(r, std::move(rooms));
}

std::optional<TGuid> DecodeJoinRequest(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TGuid g = r.Guid();
    return Checked(r, g);
}

std::optional<TRoomInfo> DecodeJoinAccept(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TRoomInfo room = GetRoom(r, false);
    return Checked(r, std::move(room));
}

std::optional<int32_t> DecodeJoinRefuse(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    int32_t v = static_cast<int32_t>(r.U32());
    return Checked(r, v);
}

std::optional<TCreatePlayer> DecodeCreatePlayer(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TCreatePlayer m;
    m.ListenPort = r.U16();
    m.Name = r.Text(kMaxName);
    return Checked(r, std::move(m));
}

std::optional<TWelcome> DecodeWelcome(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TWelcome m;
    m.YourId = r.U32();
    m.YourSeq = r.U32();
    uint32_t n = r.U32();
    if (!r.Ok() || n > kMaxListed) return std::nullopt;
    for (uint32_t i = 0; i < n && r.Ok(); ++i)
        m.Members.push_back(GetMember(r));
    return Checked(r, std::move(m));
}

std::optional<TPeerHello> DecodePeerHello(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TPeerHello m;
    m.Instance = r.Guid();
    m.TargetId = r.U32();
    m.From = GetMember(r);
    return Checked(r, std::move(m));
}

std::optional<TRoomInfo> DecodeRoomAdd(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TRoomInfo room = GetRoom(r, true);
    return Checked(r, std::move(room));
}

std::optional<TGuid> DecodeRoomRemove(const uint8_t* body, size_t size) {
    return DecodeJoinRequest(body, size);
}

bool DecodeEmpty(const uint8_t*, size_t size) {
    return size == 0;
}

bool WelcomeIsSound(const TWelcome& m, uint32_t maxPlayers) {
    auto usable = [](uint32_t id) { return id != 0 && id != 0xFFFFFFFFu; };
    if (!usable(m.YourId) || m.Members.empty()) return false;
    if (maxPlayers && m.Members.size() + 1 > maxPlayers) return false;
    std::set<uint32_t> seen{m.YourId};
    for (const TMemberInfo& member : m.Members)
        if (!usable(member.Id) || !seen.insert(member.Id).second) return false;
    return true;
}

} // namespace dplay::proto
