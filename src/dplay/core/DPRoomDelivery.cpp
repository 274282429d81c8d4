// The room core: member links and routing, each pair's blocks in order and
// exactly once, direct or through the host, across a change of route.
#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

// ---- member links -------------------------------------------------------------------

void TRoomCore::OnMemberFrame(TLinkId id, TLink& link, uint8_t type, const uint8_t* body,
                              size_t size) {
    const uint32_t from = link.Peer;
    bool fromHost = from == hostId_ && hostId_ != ownId_;
    bool ok = false;
    if (heldNewHost_ && heldNewHost_->From == from && HostOnly(type)) {
        // A successor speaks as host while our host's end is still on its
        // way to us: not a fault; what it sends counts, in order, once we follow it.
        THeldNewHost& held = *heldNewHost_;
        if (held.LaterBytes + size > kMaxHeldBytesFromClaimant) return DropLink(id, false);
        DP_COVER("claim.host-frame-held");
        held.LaterBytes += size;
        held.Later.emplace_back(type, std::vector<uint8_t>(body, body + size));
        return;
    }
    switch (type) {
    case p2::REMOVED:
        if (!p2::DecodeEmpty(body, size)) break;
        // Only the host removes. A member that says so only ends this link:
        // the pair goes through the host, and the host's word decides.
        if (fromHost) return SessionLost();
        return DropLink(id, false);
    case p2::BYE:
        if (!p2::DecodeEmpty(body, size)) break;
        link.Bye = true; // its stream ends next: a departure, not a reset
        return;
    case p2::REPORT:
        if (auto m = p2::DecodeReport(body, size); m && (IsHost() || claiming_)) {
            ok = true;
            if (IsHost()) OnReport(from, *m);
        }
        break;
    case p2::RESEND:
        if (auto peer = fromHost ? p2::DecodeResend(body, size) : std::nullopt) {
            ok = true;
            if (auto it = peers_.find(*peer); it != peers_.end())
                for (const TOutgoing& out : it->second.Unacked)
                    Transmit(it->second, out);
        }
        break;
    case p2::DATA:
    case p2::ACK:
        ok = OnPairFrame(from, type, body, size);
        break;
    case p2::RELAY: {
        auto m = p2::DecodeRelay(body, size);
        if (!m) break;
        if (hostId_ == ownId_) {
            // We relay: the sender is whoever owns this link, never what the frame says.
            ok = true;
            if (m->Peer == ownId_) {
                OnPairFrame(from, m->InnerType, m->InnerBody.data(), m->InnerBody.size());
            } else if (auto held = peers_.find(m->Peer);
                       held != peers_.end() && held->second.Admission) {
                // Held for its welcome up to a bound in bytes; past it the
                // sender is asked to send again once it is welcomed.
                TPeer& newcomer = held->second;
                if (!newcomer.Dropped.count(from) &&
                    newcomer.HeldBytes + m->InnerBody.size() <= kMaxHeldBytesForNewcomer) {
                    newcomer.HeldBytes += m->InnerBody.size();
                    newcomer.Held.push_back(p2::EncodeRelay(from, m->InnerType, m->InnerBody.data(),
                                                            m->InnerBody.size()));
                } else {
                    DP_COVER("newcomer.relayed-block-dropped");
                    newcomer.Dropped.insert(from);
                }
            } else if (auto it = peers_.find(m->Peer); it != peers_.end() && m->Peer != from) {
                if (it->second.Direct) {
                    SendOn(it->second.Direct,
                           p2::EncodeRelay(from, m->InnerType, m->InnerBody.data(),
                                           m->InnerBody.size()));
                } else {
                    // Its link to us is still being made (a successor's
                    // grace): the sender sends again once it is up.
                    DP_COVER("relay.no-link-yet");
                    it->second.Dropped.insert(from);
                }
            }
        } else if (fromHost) {
            ok = true;
            if (m->Peer != ownId_ && m->Peer != hostId_ && peers_.count(m->Peer))
                OnPairFrame(m->Peer, m->InnerType, m->InnerBody.data(), m->InnerBody.size());
        }
        break;
    }
    case p2::MEMBER_ADDED:
    case p2::MEMBER_REMOVED:
    case p2::LINK_VIEW:
        if (fromHost) {
            ok = OnViewFrame(from, type, body, size);
            if (ok) hostConfirmed_ = true;
        }
        if (state_ != InRoom) return;
        break;
    case p2::LINKS:
        // Members that follow our claim report at once; taken once we host.
        if (auto m = p2::DecodeLinks(body, size); m && (IsHost() || claiming_)) {
            ok = true;
            if (IsHost() && m->View == view_) HostSetLinks(from, p2::IdsOf(m->Mask, ViewOrder()));
        }
        break;
    case p2::NEW_HOST:
        if (auto m = p2::DecodeNewHost(body, size)) {
            ok = true;
            OnNewHost(from, id, *m);
            return;
        }
        break;
    case p2::HOST_ACK:
        if (auto v = (IsHost() || claiming_) ? p2::DecodeHostAck(body, size) : std::nullopt) {
            ok = true;
            if (IsHost()) {
                std::vector<uint32_t> admitting;
                for (auto& [pid, peer] : peers_)
                    if (peer.Admission && peer.AdmitView <= *v) {
                        peer.AdmitAcks.insert(from);
                        admitting.push_back(pid);
                    }
                for (uint32_t pid : admitting)
                    TryWelcome(pid);
            }
            if (claiming_ && *v == claimView_) {
                claimAcks_.insert(from);
                if (ClaimHeld()) ConfirmClaim();
            }
        }
        break;
    }
    if (!ok && links_.count(id)) {
        // From the host it ends the host's link; from a member it is a member
        // that breaks the rules: it is reached through the host from now on.
        // A host that breaks the rules is no host we can follow: we were as
        // good as removed, and must not take its end for its departure.
        if (fromHost) return SessionLost();
        if (IsHost() || claiming_ || hostLost_)
            DropLink(id, false);
        else
            Distrust(id, from);
    }
}

void TRoomCore::Distrust(TLinkId id, uint32_t peerId) {
    DP_COVER("member.distrusted");
    auto it = peers_.find(peerId);
    if (it != peers_.end()) it->second.Distrusted = true;
    DropLink(id, false);
    auto host = peers_.find(hostId_);
    if (host != peers_.end() && host->second.Direct && hostId_ != ownId_)
        SendOn(host->second.Direct, p2::EncodeReport({view_, peerId}));
}

void TRoomCore::OnReport(uint32_t from, const p2::TReport& m) {
    auto it = peers_.find(m.Id);
    if (it == peers_.end() || m.Id == from) return;
    it->second.ReportedBy.insert(from);
    // One member's word could be a lie to throw an honest one out; when most
    // of the others say the same, it is the accused that breaks the rules.
    size_t reporters = it->second.ReportedBy.size();
    if (reporters >= 2 && room::Majority(reporters, peers_.size() - 1)) HostRemove(m.Id);
}

void TRoomCore::DeliverInOrder(TPeer& peer, p2::TData& m) {
    // Resent on a new route, or still in flight on the old one: once only, in order.
    if (m.Seq != peer.Expected) return;
    ++peer.Expected;
    TCoreAction a{TCoreAction::Deliver};
    a.From = peer.Entry.Id;
    a.Bytes = std::move(m.Block);
    Emit(std::move(a));
}

bool TRoomCore::OnPairFrame(uint32_t from, uint8_t type, const uint8_t* body, size_t size) {
    auto it = peers_.find(from);
    if (it == peers_.end()) return true; // gone from the view meanwhile
    TPeer& peer = it->second;
    if (type == p2::DATA) {
        auto m = p2::DecodeData(body, size);
        if (!m) return false;
        DeliverInOrder(peer, *m);
        if (++peer.AckDue >= kAckEvery) SendAck(peer);
        return true;
    }
    if (type == p2::ACK) {
        auto seq = p2::DecodeAck(body, size);
        if (!seq || *seq >= peer.NextSeq) return false;
        while (!peer.Unacked.empty() && peer.Unacked.front().Seq <= *seq) {
            peer.UnackedBytes -= StoredBytes(peer.Unacked.front().Block->size());
            peer.Unacked.pop_front();
        }
        return true;
    }
    return false;
}

// ---- routing ------------------------------------------------------------------------

bool TRoomCore::SendPairFrame(TPeer& peer, uint8_t type, const p2::TFrame& frame) {
    if (!peer.RouteLink) return false;
    if (!peer.RouteRelayed) {
        SendOn(peer.RouteLink, frame);
        return true;
    }
    // The frame's body after its length and type is the relayed inner body.
    SendOn(peer.RouteLink,
           p2::EncodeRelay(peer.Entry.Id, type, frame->data() + 5, frame->size() - 5));
    return true;
}

void TRoomCore::Transmit(TPeer& peer, const TOutgoing& out) {
    if (!peer.RouteLink) return;
    SendPairFrame(
        peer, p2::DATA,
        p2::EncodeData(out.Seq, out.Block->data(), static_cast<uint32_t>(out.Block->size())));
}

void TRoomCore::SendAck(TPeer& peer) {
    if (SendPairFrame(peer, p2::ACK, p2::EncodeAck(peer.Expected - 1))) peer.AckDue = 0;
}

void TRoomCore::Reroute(TPeer& peer) {
    TLinkId link = 0;
    bool relayed = false;
    if (peer.Direct) {
        link = peer.Direct;
    } else if (state_ == InRoom && hostId_ != ownId_ && !hostLost_ && peer.Entry.Id != hostId_) {
        auto host = peers_.find(hostId_);
        if (host != peers_.end() && host->second.Direct) {
            link = host->second.Direct;
            relayed = true;
        }
    }
    if (link == peer.RouteLink && relayed == peer.RouteRelayed) return;
    peer.RouteLink = link;
    peer.RouteRelayed = relayed;
    if (!link) return;
    // What the old route may have lost goes again, from the oldest; the
    // receiver drops what it has already had.
    for (const TOutgoing& out : peer.Unacked)
        Transmit(peer, out);
    if (peer.Expected > 1) SendAck(peer);
}

void TRoomCore::RerouteAll() {
    for (auto& [id, peer] : peers_)
        Reroute(peer);
}

} // namespace dplay
