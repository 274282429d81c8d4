#include "dplay/protocol/DPProtocol2.h"

#include "dplay/protocol/DPWireReader.h"
#include "dplay/protocol/DPWireWriter.h"

#include <algorithm>
#include <cstring>

namespace dplay::proto2 {
namespace {

std::vector<uint32_t> OrderOf(const std::vector<TViewEntry>& members) {
    std::vector<uint32_t> order;
    for (const TViewEntry& m : members)
        order.push_back(m.Id);
    return order;
}

void PutEntry(TDPWireWriter& w, const TViewEntry& e, const std::vector<uint32_t>& order) {
    w.U32(e.Id).U32(e.JoinNumber).Raw(e.Address.Bytes.data(), 16).U16(e.Port);
    w.Raw(e.Key.data(), e.Key.size());
    uint64_t mask = MaskOf(e.Links, order);
    w.U32(static_cast<uint32_t>(mask)).U32(static_cast<uint32_t>(mask >> 32));
    w.Text(e.Name, kMaxName);
}

TViewEntry GetEntry(TDPWireReader& r, uint64_t* mask) {
    TViewEntry e;
    e.Id = r.U32();
    e.JoinNumber = r.U32();
    r.Bytes(e.Address.Bytes.data(), 16);
    e.Port = r.U16();
    r.Bytes(e.Key.data(), e.Key.size());
    uint64_t low = r.U32();
    *mask = low | uint64_t(r.U32()) << 32;
    e.Name = r.Text(kMaxName);
    return e;
}

uint64_t U64(TDPWireReader& r) {
    uint64_t low = r.U32();
    return low | uint64_t(r.U32()) << 32;
}

TDPWireWriter& PutU64(TDPWireWriter& w, uint64_t v) {
    return w.U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32));
}

void PutView(TDPWireWriter& w, const TViewMessage& v) {
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(v.Members.size()), kMaxMembers);
    std::vector<TViewEntry> members(v.Members.begin(), v.Members.begin() + n);
    auto order = OrderOf(members);
    w.U32(v.View).U32(v.HostId).U32(n);
    for (const TViewEntry& e : members)
        PutEntry(w, e, order);
}

// A mask may name only listed members, and never the member itself.
bool MaskFits(uint64_t mask, size_t count, size_t self) {
    if (count < 64 && (mask >> count) != 0) return false;
    return !(mask >> self & 1);
}

std::optional<TViewMessage> GetView(TDPWireReader& r) {
    TViewMessage v;
    v.View = r.U32();
    v.HostId = r.U32();
    uint32_t n = r.U32();
    if (!r.Ok() || n == 0 || n > kMaxMembers) return std::nullopt;
    std::vector<uint64_t> masks;
    for (uint32_t i = 0; i < n && r.Ok(); ++i) {
        uint64_t mask = 0;
        v.Members.push_back(GetEntry(r, &mask));
        masks.push_back(mask);
    }
    if (!r.Ok()) return std::nullopt;
    std::set<uint32_t> ids;
    bool hostListed = false;
    for (size_t i = 0; i < v.Members.size(); ++i) {
        const TViewEntry& e = v.Members[i];
        if (e.Id == 0 || !ids.insert(e.Id).second || !NameShowable(e.Name)) return std::nullopt;
        // Members dial what a view lists: never a multicast or unspecified address.
        if (!e.Address.IsNone() && !e.Address.Dialable()) return std::nullopt;
        if (i > 0 && e.JoinNumber <= v.Members[i - 1].JoinNumber) return std::nullopt;
        if (!MaskFits(masks[i], n, i)) return std::nullopt;
        hostListed |= e.Id == v.HostId;
    }
    if (!hostListed) return std::nullopt;
    auto order = OrderOf(v.Members);
    for (size_t i = 0; i < v.Members.size(); ++i)
        v.Members[i].Links = IdsOf(masks[i], order);
    return v;
}

TSecret GetSecret(TDPWireReader& r) {
    TSecret s{};
    for (uint8_t& b : s)
        b = r.U8();
    return s;
}

template <class T> std::optional<T> Checked(const TDPWireReader& r, T value) {
    if (!r.Done()) return std::nullopt;
    return value;
}

} // namespace

uint64_t MaskOf(const std::set<uint32_t>& ids, const std::vector<uint32_t>& order) {
    uint64_t mask = 0;
    for (size_t i = 0; i < order.size() && i < 64; ++i)
        if (ids.count(order[i])) mask |= uint64_t(1) << i;
    return mask;
}

std::set<uint32_t> IdsOf(uint64_t mask, const std::vector<uint32_t>& order) {
    std::set<uint32_t> ids;
    for (size_t i = 0; i < order.size() && i < 64; ++i)
        if (mask >> i & 1) ids.insert(order[i]);
    return ids;
}

TFrame EncodeEmpty(TMessageType type) {
    return TDPWireWriter(type).Finish();
}

TFrame EncodeWelcome(const TWelcome& m) {
    TDPWireWriter w(WELCOME);
    w.U32(m.YourId);
    PutView(w, m.View);
    size_t n = std::min<size_t>(m.View.Members.size(), kMaxMembers);
    for (size_t i = 0; i < n; ++i) {
        TSecret s = i < m.Secrets.size() ? m.Secrets[i] : TSecret{};
        w.Raw(s.data(), 16);
    }
    return w.Finish();
}

TFrame EncodeMemberAdded(const TMemberAdded& m) {
    TDPWireWriter w(MEMBER_ADDED);
    w.U32(m.View).Raw(m.Secret.data(), 16);
    PutEntry(w, m.Member, {}); // a newcomer has no links yet
    return w.Finish();
}

TFrame EncodeMemberRemoved(const TMemberRemoved& m) {
    return TDPWireWriter(MEMBER_REMOVED, 9).U32(m.View).U32(m.Id).U8(m.Left).Finish();
}

TFrame EncodeLinks(const TLinks& m) {
    TDPWireWriter w(LINKS, 12);
    w.U32(m.View);
    return PutU64(w, m.Mask).Finish();
}

TFrame EncodeLinkView(const TLinkView& m) {
    TDPWireWriter w(LINK_VIEW);
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(m.Masks.size()), kMaxMembers);
    w.U32(m.View).U32(n);
    for (uint32_t i = 0; i < n; ++i)
        PutU64(w, m.Masks[i]);
    return w.Finish();
}

TFrame EncodeNewHost(const TViewMessage& m) {
    TDPWireWriter w(NEW_HOST);
    PutView(w, m);
    return w.Finish();
}

TFrame EncodeHostAck(uint32_t view) {
    return TDPWireWriter(HOST_ACK, 4).U32(view).Finish();
}

TFrame EncodeReport(const TReport& m) {
    return TDPWireWriter(REPORT, 8).U32(m.View).U32(m.Id).Finish();
}

TFrame EncodeResend(uint32_t peer) {
    return TDPWireWriter(RESEND, 4).U32(peer).Finish();
}

TFrame EncodePeerHello(const TPeerHello& m) {
    return TDPWireWriter(PEER_HELLO, 40)
        .Guid(m.Instance)
        .U32(m.TargetId)
        .U32(m.FromId)
        .Raw(m.Secret.data(), 16)
        .Finish();
}

TFrame EncodeData(uint64_t seq, const void* block, uint32_t size) {
    TDPWireWriter w(DATA, 8 + size);
    return PutU64(w, seq).Raw(block, size).Finish();
}

TFrame EncodeAck(uint64_t seq) {
    TDPWireWriter w(ACK, 8);
    return PutU64(w, seq).Finish();
}

TFrame EncodeRelay(uint32_t peer, uint8_t innerType, const uint8_t* innerBody, size_t size) {
    return TDPWireWriter(RELAY, 5 + size).U32(peer).U8(innerType).Raw(innerBody, size).Finish();
}

std::optional<TWelcome> DecodeWelcome(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TWelcome m;
    m.YourId = r.U32();
    auto view = GetView(r);
    if (!view || m.YourId == 0) return std::nullopt;
    for (size_t i = 0; i < view->Members.size(); ++i)
        m.Secrets.push_back(GetSecret(r));
    bool listed = false;
    for (const TViewEntry& e : view->Members)
        listed |= e.Id == m.YourId;
    if (!listed || m.YourId == view->HostId) return std::nullopt;
    m.View = std::move(*view);
    return Checked(r, std::move(m));
}

std::optional<TMemberAdded> DecodeMemberAdded(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TMemberAdded m;
    m.View = r.U32();
    m.Secret = GetSecret(r);
    uint64_t mask = 0;
    m.Member = GetEntry(r, &mask);
    if (m.Member.Id == 0 || mask != 0 || !NameShowable(m.Member.Name)) return std::nullopt;
    return Checked(r, std::move(m));
}

std::optional<TMemberRemoved> DecodeMemberRemoved(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TMemberRemoved m;
    m.View = r.U32();
    m.Id = r.U32();
    uint8_t left = r.U8();
    if (m.Id == 0 || left > 1) return std::nullopt;
    m.Left = left == 1;
    return Checked(r, m);
}

std::optional<TLinks> DecodeLinks(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TLinks m;
    m.View = r.U32();
    m.Mask = U64(r);
    return Checked(r, m);
}

std::optional<TLinkView> DecodeLinkView(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TLinkView m;
    m.View = r.U32();
    uint32_t n = r.U32();
    if (!r.Ok() || n == 0 || n > kMaxMembers) return std::nullopt;
    for (uint32_t i = 0; i < n && r.Ok(); ++i) {
        m.Masks.push_back(U64(r));
        if (!MaskFits(m.Masks.back(), n, i)) return std::nullopt;
    }
    return Checked(r, std::move(m));
}

std::optional<TViewMessage> DecodeNewHost(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    auto view = GetView(r);
    if (!view) return std::nullopt;
    return Checked(r, std::move(*view));
}

std::optional<uint32_t> DecodeHostAck(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    uint32_t view = r.U32();
    return Checked(r, view);
}

std::optional<TReport> DecodeReport(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TReport m;
    m.View = r.U32();
    m.Id = r.U32();
    if (m.Id == 0) return std::nullopt;
    return Checked(r, m);
}

std::optional<uint32_t> DecodeResend(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    uint32_t peer = r.U32();
    if (peer == 0) return std::nullopt;
    return Checked(r, peer);
}

std::optional<TPeerHello> DecodePeerHello(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TPeerHello m;
    m.Instance = r.Guid();
    m.TargetId = r.U32();
    m.FromId = r.U32();
    m.Secret = GetSecret(r);
    if (m.TargetId == 0 || m.FromId == 0 || m.TargetId == m.FromId) return std::nullopt;
    return Checked(r, m);
}

std::optional<TData> DecodeData(const uint8_t* body, size_t size) {
    if (size < 8 || size - 8 > kMaxBlock) return std::nullopt;
    TDPWireReader r(body, 8);
    TData m;
    m.Seq = U64(r);
    if (m.Seq == 0) return std::nullopt; // numbering starts at 1
    m.Block.assign(body + 8, body + size);
    return m;
}

std::optional<uint64_t> DecodeAck(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    uint64_t seq = U64(r);
    return Checked(r, seq);
}

std::optional<TRelay> DecodeRelay(const uint8_t* body, size_t size) {
    TDPWireReader r(body, size);
    TRelay m;
    m.Peer = r.U32();
    m.InnerType = r.U8();
    if (!r.Ok() || m.Peer == 0) return std::nullopt;
    const uint8_t* inner = body + 5;
    size_t innerSize = size - 5;
    // Only what a pair exchanges may be relayed, and only in its exact form.
    if (m.InnerType == DATA) {
        if (!DecodeData(inner, innerSize)) return std::nullopt;
    } else if (m.InnerType == ACK) {
        if (!DecodeAck(inner, innerSize)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    m.InnerBody.assign(inner, inner + innerSize);
    return m;
}

bool DecodeEmpty(const uint8_t*, size_t size) {
    return size == 0;
}

bool NameShowable(const std::string& name) {
    return std::none_of(name.begin(), name.end(), [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

} // namespace dplay::proto2
