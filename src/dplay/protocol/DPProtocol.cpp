#include "dplay/protocol/DPProtocol.h"

#include "dplay/protocol/DPWireReader.h"
#include "dplay/protocol/DPWireWriter.h"

#include <cstring>

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

template <class T> std::optional<T> Checked(const TDPWireReader& r, T value) {
    if (!r.Done()) return std::nullopt;
    return value;
}

} // namespace

TFrame EncodeHello(const THello& m) {
    return TDPWireWriter(HELLO, 28)
        .Raw(kMagic, 8)
        .U16(kVersion)
        .U16(0)
        .Guid(m.Application)
        .Finish();
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

TFrame EncodeRoomAdd(const TRoomInfo& room) {
    TDPWireWriter w(ROOM_ADD);
    PutRoom(w, room, true);
    return w.Finish();
}

TFrame EncodeRoomRemove(const TGuid& instance) {
    return TDPWireWriter(ROOM_REMOVE, 16).Guid(instance).Finish();
}

std::optional<THello> DecodeHello(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    uint8_t magic[8];
    for (uint8_t& b : magic)
        b = r.U8();
    uint16_t version = r.U16();
    r.U16(); // reserved
    THello m{r.Guid()};
    if (!r.Done() || std::memcmp(magic, kMagic, 8) != 0 || version != kVersion) return std::nullopt;
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

} // namespace dplay::proto
