// The room core: views, the host's numbered decisions about who is in the
// room and who is linked to whom, and how members take them.
#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

// ---- views ------------------------------------------------------------------------

void TRoomCore::AddPeer(const p2::TViewEntry& e, const p2::TSecret* secret, bool notify) {
    TPeer peer;
    peer.Entry = e;
    if (secret) {
        peer.Secret = *secret;
        peer.SecretKnown = true;
    }
    peers_[e.Id] = std::move(peer);
    if (notify) NoticeCreate(e);
}

void TRoomCore::RemovePeer(uint32_t id, bool tellIt, bool notice) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    TLinkId direct = it->second.Direct;
    peers_.erase(it);
    // Written first, so a frozen member reads it before anything else.
    if (direct) CloseLink(direct, tellIt ? p2::EncodeEmpty(p2::REMOVED) : nullptr);
    std::vector<TLinkId> stale;
    for (auto& [linkId, link] : links_)
        if ((link.Role == Dialing || link.Role == MemberLink || link.Role == Admitting) &&
            link.Peer == id)
            stale.push_back(linkId);
    for (TLinkId linkId : stale)
        CloseLink(linkId);
    self_.Links.erase(id);
    for (auto& [other, peer] : peers_)
        peer.Entry.Links.erase(id);
    grace_.erase(id);
    ForgetPairSecrets(id, true);
    if (heldNewHost_ && heldNewHost_->From == id) {
        StopTimer(heldNewHost_->Timer);
        heldNewHost_.reset();
    }
    if (notice) NoticeDestroy(id);
}

void TRoomCore::Departed(uint32_t id) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    // A member that leaves ends its links after what it sent; the host may
    // tell us first, while its last blocks are still on their way to us.
    auto direct = links_.find(it->second.Direct);
    if (direct == links_.end() || !direct->second.Up ||
        now_ - direct->second.LastReceive >= kCutOffSilenceMs)
        return RemovePeer(id, true);
    direct->second.Role = Draining;
    direct->second.DrainSince = now_;
    it->second.Direct = 0;
    departing_[id] = it->second;
    RemovePeer(id, false, false);
}

void TRoomCore::EndDrain(TLinkId id) {
    auto it = links_.find(id);
    if (it == links_.end() || it->second.Role != Draining) return;
    uint32_t peer = it->second.Peer;
    CloseLink(id);
    if (departing_.erase(peer)) NoticeDestroy(peer);
}

void TRoomCore::HostRemove(uint32_t id, bool left) {
    if (!peers_.count(id)) return;
    RemovePeer(id, true);
    ++view_;
    auto removed = p2::EncodeMemberRemoved({view_, id, left});
    for (auto& [other, peer] : peers_)
        if (peer.Direct) SendOn(peer.Direct, removed);
    UpdateListing();
}

bool TRoomCore::OnViewFrame(uint32_t, uint8_t type, const uint8_t* body, size_t size) {
    if (type == p2::MEMBER_ADDED) {
        auto m = p2::DecodeMemberAdded(body, size);
        if (!m || m->Member.Id == ownId_ || peers_.count(m->Member.Id) ||
            1 + peers_.size() >= Limit())
            return false;
        AddPeer(m->Member, &m->Secret, true);
        view_ = std::max(view_, m->View);
        SendOn(peers_.at(hostId_).Direct, p2::EncodeHostAck(view_));
        TPeer& peer = peers_.at(m->Member.Id);
        Reroute(peer);
        ReleaseHeldIntroductions();
        DialPeer(peer);
        ReportLinks();
        return true;
    }
    if (type == p2::MEMBER_REMOVED) {
        auto m = p2::DecodeMemberRemoved(body, size);
        if (!m || m->Id == hostId_) return false;
        if (m->Id == ownId_) {
            SessionLost();
            return true;
        }
        if (m->Left)
            Departed(m->Id);
        else
            RemovePeer(m->Id, true);
        view_ = std::max(view_, m->View);
        ReportLinks();
        return true;
    }
    if (type == p2::LINK_VIEW) {
        auto m = p2::DecodeLinkView(body, size);
        if (!m) return false;
        auto order = ViewOrder();
        if (m->Masks.size() != order.size()) return true; // from an older view: the next one comes
        for (size_t i = 0; i < order.size(); ++i) {
            auto ids = p2::IdsOf(m->Masks[i], order);
            if (order[i] == ownId_)
                self_.Links = ids;
            else
                peers_.at(order[i]).Entry.Links = ids;
        }
        view_ = std::max(view_, m->View);
        ReportLinks();
        return true;
    }
    return false;
}

void TRoomCore::ReportLinks() {
    if (state_ != InRoom || hostId_ == ownId_ || hostLost_ || !peers_.count(hostId_)) return;
    TPeer& host = peers_.at(hostId_);
    if (!host.Direct) return;
    std::set<uint32_t> actual = DirectPeers();
    actual.erase(hostId_);
    if (actual == self_.Links) return;
    if (reportedView_ == view_ && reportedLinks_ == actual) return;
    reportedView_ = view_;
    reportedLinks_ = actual;
    SendOn(host.Direct, p2::EncodeLinks({view_, p2::MaskOf(actual, ViewOrder())}));
}

void TRoomCore::HostSetLinks(uint32_t member, const std::set<uint32_t>& links) {
    auto it = peers_.find(member);
    if (it == peers_.end()) return;
    std::set<uint32_t> known;
    for (uint32_t id : links)
        if (id != member && id != ownId_ && peers_.count(id)) known.insert(id);
    if (it->second.Entry.Links == known) return;
    it->second.Entry.Links = known;
    ++view_;
    SendLinkView();
}

void TRoomCore::SendLinkView() {
    p2::TLinkView m;
    m.View = view_;
    auto order = ViewOrder();
    for (uint32_t id : order)
        m.Masks.push_back(
            p2::MaskOf(id == ownId_ ? self_.Links : peers_.at(id).Entry.Links, order));
    auto frame = p2::EncodeLinkView(m);
    for (auto& [id, peer] : peers_)
        if (peer.Direct) SendOn(peer.Direct, frame);
}

} // namespace dplay
