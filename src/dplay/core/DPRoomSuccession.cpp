// The room core: links, the host or the session lost; removal, succession,
// stepping down.
#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

// ---- losing links, the host, the session ----------------------------------------------

void TRoomCore::DropLink(TLinkId id, bool timedOut, bool ended) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    TLink link = it->second;
    bool removal = link.Role == MemberLink && IsHost() && peers_.count(link.Peer) &&
                   peers_.at(link.Peer).Direct == id;
    CloseLink(id, removal ? p2::EncodeEmpty(p2::REMOVED) : nullptr);
    switch (link.Role) {
    case ToHost:
        if (state_ == Opening) Finish(TCoreAction::Open, DPERR_NOCONNECTION);
        if (state_ == Entering) Finish(TCoreAction::CreatePlayer, DPERR_CONNECTIONLOST);
        if (state_ == Opening || state_ == Opened || state_ == Entering) state_ = Left;
        break;
    case Admitting:
        if (IsHost()) HostRemove(link.Peer);
        break;
    case MemberLink:
        if (link.Peer == hostId_) {
            hostLastHeard_ = link.LastReceive;
            hostBye_ = link.Bye;
        }
        MemberLinkGone(link.Peer, id, timedOut, ended && !link.Bye);
        break;
    case Draining:
        if (departing_.erase(link.Peer)) NoticeDestroy(link.Peer);
        break;
    case Dialing:
        if (auto peer = peers_.find(link.Peer); peer != peers_.end() && !peer->second.Direct &&
                                                state_ == InRoom &&
                                                ++peer->second.DialsFailed < kMaxDials) {
            peer->second.DialRefused = link.Up;
            TTimerId t = StartTimer(Redial, kRedialMs * peer->second.DialsFailed);
            timers_.at(t).Peer = link.Peer;
        }
        break;
    default:
        break;
    }
}

bool TRoomCore::CutOff(TLinkId except) const {
    bool others = false;
    for (auto& [id, link] : links_) {
        if (id == except || link.Role != MemberLink) continue;
        others = true;
        if (now_ - link.LastReceive < kCutOffSilenceMs) return false;
    }
    return others;
}

void TRoomCore::MemberLinkGone(uint32_t peerId, TLinkId id, bool timedOut, bool unexplained) {
    auto it = peers_.find(peerId);
    if (it == peers_.end() || it->second.Direct != id) return; // a spare link of a pair
    it->second.Direct = 0;
    // Everyone went quiet at once: it is our own network that is gone.
    if (timedOut && CutOff(id)) return SessionLost();
    if (hostId_ == ownId_) {
        if (!IsHost()) return Reroute(it->second); // claiming: decided when confirmed
        if (timedOut || unexplained) {
            // A member that lost us after a silence closes its link when it
            // follows a successor, and once the network is back we may read
            // that end before our own silence bound: an end without a goodbye
            // counts as a silence (a killed member's looks no different).
            if (MostOfTheRoomGone(1)) return SessionLost();
            timeoutRemovals_.push_back(now_);
        }
        return HostRemove(peerId, !timedOut);
    }
    if (peerId == hostId_ && !hostLost_) {
        // Only a confirmed host that said goodbye has left for sure. A stream
        // that ends without one may be a reset while the host goes on with
        // the others, and a claimant that closes proves nothing.
        if (timedOut || !hostConfirmed_) return HostLost(HostSilent);
        return HostLost(hostBye_ ? HostBye : HostEnded);
    }
    // A direct link between two members is not a removal: the pair goes
    // through the host.
    Reroute(it->second);
    ReportLinks();
}

bool TRoomCore::MostOfTheRoomGone(size_t going) {
    // Those who went silent may be a majority that carries on without us;
    // then we are the part that has to go.
    while (!timeoutRemovals_.empty() && now_ - timeoutRemovals_.front() > kSilenceWindowMs)
        timeoutRemovals_.pop_front();
    // Newcomers still waiting for their welcome are no part of either side:
    // counted, a host cut off with them thinks itself the majority.
    size_t admitted = 1 + static_cast<size_t>(std::count_if(
                              peers_.begin(), peers_.end(),
                              [](const auto& p) { return p.second.Admission == 0; }));
    size_t gone = timeoutRemovals_.size();
    return room::Majority(gone + going, admitted + gone);
}

void TRoomCore::StepDownAfterAStall() {
    // We did not run while our silence bound passed (a stop shorter than a
    // freeze, or a slow machine): the members it would have ended may have
    // a successor by now. Before anything we read meanwhile, ask what the
    // tick would have asked then.
    if (!IsHost() || !reading_) return;
    size_t silent = 0;
    for (auto& [id, peer] : peers_) {
        auto link = links_.find(peer.Direct);
        if (link != links_.end() && !peer.Admission &&
            now_ - link->second.LastReceive >= kSilenceMs)
            ++silent;
    }
    if (silent && MostOfTheRoomGone(silent)) SessionLost();
}

uint32_t TRoomCore::Successor(bool* byLinks, uint32_t without) const {
    *byLinks = true;
    // Everyone applies this to the same view: the lowest join number among
    // the members linked directly to all others, else the lowest of all
    // (*byLinks false: the view's links may lag behind a fresh room's). A
    // link counts only when both of its ends report it: one member's word
    // cannot make it the successor. A member linked to none of the others
    // (a newcomer the host let in just before it left, or one whose links
    // all died) cannot be reached by any successor: it does not keep the
    // others from having one.
    auto order = ViewOrder();
    std::erase(order, without);
    auto linksOf = [&](uint32_t id) -> const std::set<uint32_t>& {
        return id == ownId_ ? self_.Links : peers_.at(id).Entry.Links;
    };
    auto linked = [&](uint32_t a, uint32_t b) {
        return linksOf(a).count(b) && linksOf(b).count(a);
    };
    std::set<uint32_t> reached;
    for (uint32_t a : order)
        for (uint32_t b : order)
            if (a != b && linked(a, b)) reached.insert(a);
    for (uint32_t candidate : order) {
        if (!reached.count(candidate)) continue;
        bool all = true;
        for (uint32_t other : reached)
            if (other != candidate && !linked(candidate, other)) all = false;
        if (all) return candidate;
    }
    *byLinks = false;
    return order.empty() ? 0 : order.front();
}

void TRoomCore::HostLost(THostEnd how) {
    uint32_t oldHost = hostId_;
    claimOf_ = ViewOrder().size();
    RemovePeer(oldHost, false);
    hostId_ = 0;
    hostLost_ = true;
    RerouteAll();
    bool byLinks = true;
    uint32_t successor = Successor(&byLinks);
    successor_ = successor;
    if (successor == ownId_) {
        // Chosen only as the lowest, we serve the room only if we do reach
        // everyone; otherwise nobody can, and we must not keep it alone
        // while those we cannot reach are told it is lost.
        bool reachAll = std::all_of(peers_.begin(), peers_.end(),
                                    [&](const auto& p) { return Reaching(p.first); });
        claimByLinks_ = byLinks;
        if (!byLinks && !reachAll) return SessionLost();
        return Claim(how);
    }
    auto it = peers_.find(successor);
    // No way to it, unless our introduction to it is still on its way (a
    // newcomer whose host leaves at once): then it has the wait for NEW_HOST.
    bool dialing = std::any_of(links_.begin(), links_.end(), [&](const auto& l) {
        return l.second.Role == Dialing && l.second.Peer == successor;
    });
    if (it == peers_.end() || (!it->second.Direct && !dialing)) return SessionLost();
    if (heldNewHost_ && heldNewHost_->From == successor && heldNewHost_->View.View > view_) {
        THeldNewHost held = std::move(*heldNewHost_);
        heldNewHost_.reset();
        StopTimer(held.Timer);
        if (links_.count(held.Link)) {
            AdoptNewHost(held.From, held.Link, held.View);
            for (auto& [type, body] : held.Later) {
                auto link = links_.find(held.Link);
                if (state_ != InRoom || hostId_ != held.From || link == links_.end()) break;
                DP_COVER("claim.held-frame-taken");
                OnMemberFrame(held.Link, link->second, type, body.data(), body.size());
            }
            return;
        }
    }
    successionTimer_ = StartTimer(AwaitNewHost, kSuccessionMs);
}

bool TRoomCore::Reaching(uint32_t id) const {
    auto it = peers_.find(id);
    if (it == peers_.end()) return false;
    if (it->second.Direct) return true;
    // A link to it is being made: ours dialed, or its introduction held,
    // or ours, which reached it and was turned away, is to be tried again (a
    // newcomer refuses introductions until it has read its welcome, which
    // may come after its host left). One that never got through is not.
    return std::any_of(links_.begin(), links_.end(),
                       [&](const auto& l) {
                           return (l.second.Role == Dialing && l.second.Peer == id) ||
                                  (l.second.Role == HeldIntro && l.second.Hello.FromId == id);
                       }) ||
           std::any_of(timers_.begin(), timers_.end(), [&](const auto& t) {
               return t.second.Kind == Redial && t.second.Peer == id && it->second.DialRefused;
           });
}

void TRoomCore::Claim(THostEnd how) {
    hostLost_ = false;
    claiming_ = true;
    hostId_ = ownId_;
    // Those we cannot reach stay in the view until we are confirmed: if we
    // yield to another claimant, what we exchanged with them still counts.
    ++view_;
    claimView_ = view_;
    auto frame = p2::EncodeNewHost(ViewMessage());
    for (auto& [id, peer] : peers_)
        SendClaim(peer.Direct, frame);
    RerouteAll();
    // The host's stream ended: it is gone, not just out of our reach. After
    // a silence the host may be alive with the others: we go on only when a
    // majority of the last view (the old host counted) lost it with us, so
    // the two sides can never both go on.
    claimAcks_.clear();
    claimHow_ = how;
    if (how == HostBye) return BecomeHost();
    if (how == HostEnded && ClaimHeld()) return ConfirmClaim();
    if (peers_.empty()) return SessionLost();
    successionTimer_ = StartTimer(AwaitHostAck, kSuccessionMs + kStepDownMs);
}

void TRoomCore::SendClaim(TLinkId id, const p2::TFrame& frame) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    it->second.ClaimView = claimView_;
    SendOn(id, frame ? frame : p2::EncodeNewHost(ViewMessage()));
}

bool TRoomCore::ClaimHeld() const {
    size_t with = 1 + claimAcks_.size();
    // The old host's stream ended without a goodbye: it is dead, or it goes
    // on after a reset. Then it must not still have a majority of the last
    // view, so half of it (the old host counted) is enough. After a silence
    // it may be alive with anyone: we need more than half.
    if (claimHow_ == HostEnded) return room::Half(with, claimOf_);
    return room::Majority(with, claimOf_);
}

void TRoomCore::ConfirmClaim() {
    // Its system closed its streams: it cannot be serving the others.
    if (claimHow_ == HostEnded) return BecomeHost();
    // A host cut off from the majority steps down once their silence reaches
    // its bound; we start only after that, so the two never list at once.
    int64_t wait = hostLastHeard_ + kSilenceMs + kStepDownMs - now_;
    if (wait <= 0) return BecomeHost();
    if (!stepDownTimer_) stepDownTimer_ = StartTimer(StepDown, wait);
}

void TRoomCore::BecomeHost() {
    claiming_ = false;
    StopTimer(successionTimer_);
    StopTimer(stepDownTimer_);
    DPMSG_GENERIC msg{DPSYS_HOST};
    Notice(&msg, sizeof msg);
    // Members we have no link to cannot be served; but one whose link to us
    // is being made right now gets a few seconds, and our claim when it comes.
    std::vector<uint32_t> unlinked;
    for (auto& [id, peer] : peers_) {
        if (peer.Direct) continue;
        if (Reaching(id))
            grace_.insert(id);
        else
            unlinked.push_back(id);
    }
    for (uint32_t id : unlinked)
        HostRemove(id);
    if (!grace_.empty() && !graceTimer_) graceTimer_ = StartTimer(LinkGrace, kLinkGraceMs);
    // The first view from us as host: members know from it that we were confirmed.
    ++view_;
    SendLinkView();
    UpdateListing();
}

void TRoomCore::OnNewHost(uint32_t from, TLinkId link, const p2::TViewMessage& m) {
    if (m.HostId != from) return Distrust(link, from);
    if (IsHost()) return HostRemove(from); // it thinks we are gone: it is out of step
    // We are the rule's successor: nobody else leads the room.
    if (claiming_) return;
    if (from == hostId_ && !hostLost_) {
        // Our host sends its view whole again when our pair changed links:
        // what it sent on the link we closed may never have been read.
        if (m.View >= view_) {
            DP_COVER("new-host.view-again-taken");
            bool confirmed = hostConfirmed_;
            AdoptNewHost(from, link, m);
            hostConfirmed_ = confirmed;
        }
        return;
    }
    if (hostLost_) {
        // Only the successor our last view names, with a view at least as
        // new as ours: a successor that missed changes we took must not lead
        // the room back to its view, and nobody else leads it at all.
        if (from == successor_ && m.View > view_) AdoptNewHost(from, link, m);
        return;
    }
    // Our host still answers. Only the member the rule would pick may be
    // ahead of us in noticing it is gone: hold its claim until the host goes
    // quiet too. Anyone else claiming the room is an attack.
    bool byLinks = true;
    if (from != Successor(&byLinks, hostId_)) return Distrust(link, from);
    if (heldNewHost_) StopTimer(heldNewHost_->Timer);
    heldNewHost_ = THeldNewHost{from, link, m, 0, {}};
    heldNewHost_->Timer = StartTimer(HeldNewHost, kSuccessionMs);
}

void TRoomCore::AdoptNewHost(uint32_t from, TLinkId link, const p2::TViewMessage& m) {
    const p2::TViewEntry* own = nullptr;
    std::set<uint32_t> listed;
    for (const p2::TViewEntry& e : m.Members) {
        listed.insert(e.Id);
        if (e.Id == ownId_) own = &e;
    }
    if (!own || m.Members.size() > Limit()) return SessionLost();
    hostLost_ = false;
    StopTimer(successionTimer_);
    if (heldNewHost_) {
        StopTimer(heldNewHost_->Timer);
        heldNewHost_.reset();
    }
    std::vector<uint32_t> gone;
    for (auto& [id, peer] : peers_)
        if (!listed.count(id)) gone.push_back(id);
    for (uint32_t id : gone)
        RemovePeer(id, true);
    for (const p2::TViewEntry& e : m.Members) {
        if (e.Id == ownId_) {
            self_.Links = e.Links;
            continue;
        }
        auto it = peers_.find(e.Id);
        if (it == peers_.end()) {
            // Admitted while we missed it; without its secret we reach it through the host.
            AddPeer(e, nullptr, true);
        } else {
            it->second.Entry.Links = e.Links;
        }
    }
    hostId_ = from;
    hostConfirmed_ = false;
    view_ = m.View;
    SendOn(link, p2::EncodeHostAck(m.View));
    RerouteAll();
    ReportLinks();
}

void TRoomCore::EndAllLinks() {
    std::vector<TLinkId> ids;
    for (auto& [id, link] : links_)
        ids.push_back(id);
    for (TLinkId id : ids)
        CloseLink(id);
    std::vector<TTimerId> timers;
    for (auto& [id, t] : timers_)
        timers.push_back(id);
    for (TTimerId id : timers)
        StopTimer(id);
    // Every timer is stopped: no field may still name one.
    successionTimer_ = stepDownTimer_ = graceTimer_ = 0;
}

void TRoomCore::SessionLost() {
    if (state_ == Lost || state_ == Left) return;
    bool told = state_ == InRoom;
    if (IsHost()) {
        // Members still linked to us must not take our silence for a
        // departure and make one of them host beside the rest: they go too.
        std::vector<TLinkId> ids;
        for (auto& [id, link] : links_)
            if (link.Role == MemberLink) ids.push_back(id);
        for (TLinkId id : ids)
            CloseLink(id, p2::EncodeEmpty(p2::REMOVED));
    }
    EndRoom(Lost);
    if (told) {
        DPMSG_GENERIC msg{DPSYS_SESSIONLOST};
        Notice(&msg, sizeof msg);
    }
}

} // namespace dplay
