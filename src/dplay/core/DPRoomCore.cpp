// The room core: plumbing, the local calls and the link events. Admission,
// views, delivery and succession are in the DPRoom*.cpp files beside it.
#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

TRoomCore::TRoomCore(uint64_t seed) : rng_(seed) {}

// ---- plumbing ---------------------------------------------------------------

bool TRoomCore::Observe(int64_t now) {
    bool frozen = lastNow_ && now - *lastNow_ > kFrozenMs;
    // Ticks come every 250 ms: a longer gap is a stop of ours.
    bool stalled = lastNow_ && now - *lastNow_ > kPingAfterMs;
    lastNow_ = now;
    now_ = now;
    // Stopped for longer than the others wait: they may have removed us and
    // chosen another host. Carrying on could make a second copy of the room.
    if (frozen && (state_ == InRoom || state_ == Entering || state_ == Opened)) SessionLost();
    if (stalled && state_ == InRoom) StepDownAfterAStall();
    return state_ != Idle && state_ != Lost && state_ != Left;
}

std::string TRoomCore::CheckInvariants() const {
    auto linkOf = [&](TLinkId id) -> const TLink* {
        auto it = links_.find(id);
        return it == links_.end() ? nullptr : &it->second;
    };
    if (peers_.count(0) || (ownId_ && peers_.count(ownId_))) return "id 0 or ourselves in the view";
    if (peers_.size() + 1 > p2::kMaxMembers) return "view above the bound";
    if (listed_ && !IsHost()) return "listed but not the confirmed host";
    if ((state_ == Lost || state_ == Left) && (!links_.empty() || !peers_.empty() || listed_))
        return "ended but still holding links or members";
    if (state_ == InRoom && !hostLost_ && hostId_ != ownId_ && !peers_.count(hostId_))
        return "host neither ourselves nor in the view";
    if (claiming_ && hostLost_) return "claiming and waiting for a claim at once";
    if (!pairSecrets_.empty() && hostId_ != ownId_) return "pair secrets kept by a member";
    for (auto& [id, peer] : peers_) {
        if (peer.Entry.Id != id) return "entry under another id";
        if (departing_.count(id)) return "member both in the view and departing";
        if (peer.Direct) {
            const TLink* link = linkOf(peer.Direct);
            if (!link || link->Role != MemberLink || link->Peer != id)
                return "direct link that is not a member link with that member";
            // Only the key the room announced for a member may speak for it.
            if (link->Key != peer.Entry.Key) return "direct link showing another key than announced";
        }
        if (peer.RouteLink && !linkOf(peer.RouteLink)) return "route on a link that is gone";
        if (peer.Admission) {
            const TLink* link = linkOf(peer.Admission);
            if (!link || link->Role != Admitting || hostId_ != ownId_)
                return "admission without its link, or not by us as host";
        }
        if (peer.HeldBytes > kMaxHeldBytesForNewcomer) return "held frames above their bound";
        uint64_t bytes = 0, last = 0;
        for (const TOutgoing& out : peer.Unacked) {
            if (out.Seq <= last || out.Seq >= peer.NextSeq) return "unacked blocks out of order";
            last = out.Seq;
            bytes += StoredBytes(out.Block->size());
        }
        if (bytes != peer.UnackedBytes || bytes > kMaxUnackedBytes) return "store count wrong";
        if (peer.Expected == 0) return "expected sequence 0";
        // Whoever we reach must hear our claim: a member left without it
        // waits for a successor that never speaks to it, and loses the room.
        if (claiming_ && peer.Direct && linkOf(peer.Direct)->ClaimView != claimView_)
            return "claiming without our claim on a member's link";
    }
    if (heldNewHost_) {
        uint64_t bytes = 0;
        for (auto& [type, body] : heldNewHost_->Later)
            bytes += body.size();
        if (bytes != heldNewHost_->LaterBytes || bytes > kMaxHeldBytesFromClaimant)
            return "what a claimant sent held past its bound, or miscounted";
    }
    for (auto& [id, link] : links_) {
        if (link.Timer && !timers_.count(link.Timer)) return "link timer that is not running";
        if (link.Role == Admitting &&
            (!peers_.count(link.Peer) || peers_.at(link.Peer).Admission != id))
            return "admitting link without its admission";
    }
    for (TTimerId t : {successionTimer_, stepDownTimer_, graceTimer_})
        if (t && !timers_.count(t)) return "a timer we wait for is not running";
    return {};
}

std::vector<TCoreAction> TRoomCore::TakeActions() {
#ifndef NDEBUG
    if (auto broken = CheckInvariants(); !broken.empty()) {
        std::fprintf(stderr, "room core: %s\n", broken.c_str());
        std::abort();
    }
#endif
    std::vector<TCoreAction> out;
    out.swap(actions_);
    return out;
}

void TRoomCore::SendOn(TLinkId id, p2::TFrame frame) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    it->second.LastSend = now_;
    TCoreAction a{TCoreAction::Send};
    a.Link = id;
    a.Frame = std::move(frame);
    Emit(std::move(a));
}

void TRoomCore::CloseLink(TLinkId id, p2::TFrame last) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    StopTimer(it->second.Timer);
    links_.erase(it);
    TCoreAction a{TCoreAction::Close};
    a.Link = id;
    a.Frame = std::move(last);
    Emit(std::move(a));
}

TTimerId TRoomCore::StartTimer(TTimerKind kind, int64_t delayMs, TLinkId link) {
    TTimerId id = ++nextTimer_;
    timers_[id] = TTimer{kind, link};
    TCoreAction a{TCoreAction::SetTimer};
    a.Timer = id;
    a.DelayMs = delayMs;
    Emit(std::move(a));
    return id;
}

void TRoomCore::StopTimer(TTimerId& timer) {
    if (!timer) return;
    if (timers_.erase(timer)) {
        TCoreAction a{TCoreAction::CancelTimer};
        a.Timer = timer;
        Emit(std::move(a));
    }
    timer = 0;
}

void TRoomCore::Notice(const void* msg, size_t size, const std::string& tail, uint32_t about) {
    TCoreAction a{TCoreAction::Deliver};
    a.From = DPID_SYSMSG;
    a.Bytes.resize(size + tail.size());
    std::memcpy(a.Bytes.data(), msg, size);
    if (!tail.empty()) std::memcpy(a.Bytes.data() + size, tail.data(), tail.size());
    a.Announces = about;
    Emit(std::move(a));
}

void TRoomCore::NoticeCreate(const p2::TViewEntry& e) {
    DPMSG_CREATEPLAYERORGROUP msg{DPSYS_CREATEPLAYERORGROUP, DPPLAYERTYPE_PLAYER, e.Id,
                                  static_cast<uint32_t>(peers_.size() + 1),
                                  static_cast<uint32_t>(e.Name.size())};
    Notice(&msg, sizeof msg, e.Name, e.Id);
}

void TRoomCore::NoticeDestroy(uint32_t id) {
    DPMSG_DESTROYPLAYERORGROUP msg{DPSYS_DESTROYPLAYERORGROUP, DPPLAYERTYPE_PLAYER, id};
    Notice(&msg, sizeof msg);
}

void TRoomCore::Finish(TCoreAction::TCall call, HRESULT result, uint32_t id) {
    TCoreAction a{TCoreAction::Finish};
    a.Call = call;
    a.Result = result;
    a.Id = id;
    Emit(std::move(a));
}

uint32_t TRoomCore::NewMemberId() {
    for (;;) {
        uint32_t id = static_cast<uint32_t>(rng_());
        if (id == 0 || id == 0xFFFFFFFFu || id == ownId_ || peers_.count(id) || usedIds_.count(id))
            continue;
        usedIds_.insert(id);
        return id;
    }
}

p2::TSecret TRoomCore::NewSecret() {
    p2::TSecret s;
    uint64_t a = rng_(), b = rng_();
    std::memcpy(s.data(), &a, 8);
    std::memcpy(s.data() + 8, &b, 8);
    return s;
}

p2::TKeyId TRoomCore::HostKey() const {
    if (state_ != InRoom) return {};
    if (hostId_ == ownId_) return ownKey_;
    auto it = peers_.find(hostId_);
    return it == peers_.end() ? p2::TKeyId{} : it->second.Entry.Key;
}

uint32_t TRoomCore::Limit() const {
    uint32_t max = room_.MaxPlayers;
    return max == 0 || max > p2::kMaxMembers ? p2::kMaxMembers : max;
}

proto::TRoomInfo TRoomCore::CurrentInfo() const {
    proto::TRoomInfo info = room_;
    info.CurrentPlayers = static_cast<uint32_t>(peers_.size()) + (ownId_ ? 1 : 0);
    return info;
}

void TRoomCore::UpdateListing() {
    if (IsHost()) {
        listed_ = true;
        TCoreAction a{TCoreAction::List};
        a.Room = CurrentInfo();
        Emit(std::move(a));
    } else if (listed_) {
        listed_ = false;
        Emit(TCoreAction{TCoreAction::Unlist});
    }
}

std::vector<uint32_t> TRoomCore::ViewIds() const {
    return ViewOrder();
}

std::vector<uint32_t> TRoomCore::ViewOrder() const {
    std::vector<std::pair<uint32_t, uint32_t>> byJoin;
    if (ownId_ && state_ == InRoom) byJoin.push_back({self_.JoinNumber, ownId_});
    for (auto& [id, peer] : peers_)
        byJoin.push_back({peer.Entry.JoinNumber, id});
    std::sort(byJoin.begin(), byJoin.end());
    std::vector<uint32_t> order;
    for (auto& [join, id] : byJoin)
        order.push_back(id);
    return order;
}

p2::TViewMessage TRoomCore::ViewMessage() const {
    p2::TViewMessage m;
    m.View = view_;
    m.HostId = hostId_;
    for (uint32_t id : ViewOrder())
        m.Members.push_back(id == ownId_ ? self_ : peers_.at(id).Entry);
    return m;
}

std::vector<TRoomCore::TPlayer> TRoomCore::Players() const {
    std::vector<TPlayer> players;
    for (auto& [id, peer] : peers_)
        players.push_back({id, peer.Entry.Name});
    return players;
}

std::set<uint32_t> TRoomCore::DirectPeers() const {
    std::set<uint32_t> ids;
    for (auto& [id, peer] : peers_)
        if (peer.Direct) ids.insert(id);
    return ids;
}

size_t TRoomCore::Unacked(uint32_t peer) const {
    auto it = peers_.find(peer);
    return it == peers_.end() ? 0 : it->second.Unacked.size();
}

// ---- local calls --------------------------------------------------------------

void TRoomCore::Create(int64_t now, const proto::TRoomInfo& room) {
    Observe(now);
    if (state_ != Idle) return Finish(TCoreAction::Open, DPERR_ALREADYINITIALIZED);
    // Every member shows it: a control byte could forge a line in their logs.
    if (!p2::NameShowable(room.Name)) return Finish(TCoreAction::Open, DPERR_INVALIDPARAMS);
    room_ = room;
    creator_ = true;
    state_ = Opened;
    Finish(TCoreAction::Open, DP_OK);
}

void TRoomCore::Join(int64_t now, const TNetAddress& hostAddress, uint16_t port,
                     const TGuid& application, const TGuid& instance) {
    Observe(now);
    if (state_ != Idle) return Finish(TCoreAction::Open, DPERR_ALREADYINITIALIZED);
    room_.Application = application;
    room_.Instance = instance;
    hostAddress_ = hostAddress;
    state_ = Opening;
    joinLink_ = NewLinkId();
    TLink link{ToHost};
    link.LastReceive = link.LastSend = now;
    link.Remote = hostAddress;
    links_[joinLink_] = link;
    TCoreAction a{TCoreAction::Dial};
    a.Link = joinLink_;
    a.Address = hostAddress;
    a.Port = port;
    a.Frame = proto::EncodeJoinRequest(instance);
    Emit(std::move(a));
}

void TRoomCore::CreatePlayer(int64_t now, const std::string& name, uint16_t memberPort) {
    if (!Observe(now) || state_ != Opened)
        return Finish(TCoreAction::CreatePlayer, DPERR_CANTCREATEPLAYER);
    if (!p2::NameShowable(name)) return Finish(TCoreAction::CreatePlayer, DPERR_INVALIDPARAMS);
    self_ = p2::TViewEntry{};
    self_.Key = ownKey_;
    self_.Name = name.substr(0, p2::kMaxName);
    self_.Port = memberPort;
    if (creator_) {
        ownId_ = NewMemberId();
        self_.Id = ownId_;
        hostId_ = ownId_;
        view_ = 1;
        state_ = InRoom;
        UpdateListing();
        return Finish(TCoreAction::CreatePlayer, DP_OK, ownId_);
    }
    if (!links_.count(joinLink_)) {
        state_ = Left;
        return Finish(TCoreAction::CreatePlayer, DPERR_CONNECTIONLOST);
    }
    state_ = Entering;
    SendOn(joinLink_, proto::EncodeCreatePlayer({memberPort, self_.Name}));
}

TRoomCore::TSendResult TRoomCore::Send(int64_t now, DPID to, const uint8_t* data, size_t size) {
    if (!Observe(now) || state_ != InRoom) return SendNotInRoom;
    if (size > p2::kMaxBlock) return SendTooLarge;
    if (to == ownId_) {
        TCoreAction a{TCoreAction::Deliver};
        a.From = ownId_;
        a.Bytes.assign(data, data + size);
        Emit(std::move(a));
        return SendOk;
    }
    std::vector<TPeer*> targets;
    if (to == DPID_ALLPLAYERS) {
        for (auto& [id, peer] : peers_)
            targets.push_back(&peer);
    } else {
        auto it = peers_.find(to);
        if (it == peers_.end()) return SendNoPlayer;
        targets.push_back(&it->second);
    }
    // All or nothing: a block shown as sent reaches everyone it was sent to.
    for (TPeer* peer : targets)
        if (peer->UnackedBytes + StoredBytes(size) > kMaxUnackedBytes) return SendFull;
    auto block = std::make_shared<const std::vector<uint8_t>>(data, data + size);
    for (TPeer* peer : targets) {
        TOutgoing out{peer->NextSeq++, block, now_};
        peer->Unacked.push_back(out);
        peer->UnackedBytes += StoredBytes(size);
        Transmit(*peer, out);
    }
    return SendOk;
}

void TRoomCore::SetReading(int64_t now, bool reading) {
    if (!Observe(now) || reading_ == reading) return;
    reading_ = reading;
    if (!reading) return;
    for (auto& [id, link] : links_)
        link.LastReceive = std::max(link.LastReceive, now);
    // Acknowledgements waited unread meanwhile: the wait for them starts again.
    for (auto& [id, peer] : peers_)
        for (TOutgoing& out : peer.Unacked)
            out.At = std::max(out.At, now);
}

void TRoomCore::Leave(int64_t now) {
    Observe(now);
    if (state_ == Left) return;
    // BYE, after what is queued, tells each peer this end is a departure:
    // a stream that ends without it may be a reset while we carry on.
    std::vector<TLinkId> ids;
    for (auto& [id, link] : links_)
        if (link.Role == MemberLink && link.Up) ids.push_back(id);
    for (TLinkId id : ids)
        CloseLink(id, p2::EncodeEmpty(p2::BYE));
    EndRoom(Left);
}

void TRoomCore::EndRoom(TState next) {
    if (state_ == Opening) Finish(TCoreAction::Open, DPERR_CONNECTIONLOST);
    if (state_ == Entering) Finish(TCoreAction::CreatePlayer, DPERR_CONNECTIONLOST);
    state_ = next;
    EndAllLinks();
    peers_.clear();
    departing_.clear();
    hostLost_ = claiming_ = false;
    heldNewHost_.reset();
    grace_.clear();
    pairSecrets_.clear();
    UpdateListing();
}

// ---- link events -------------------------------------------------------------

void TRoomCore::OnLinkAccepted(int64_t now, TLinkId id, const TNetAddress& remote, uint8_t type,
                               const uint8_t* body, size_t size, const p2::TKeyId& key) {
    auto refuse = [&] {
        TCoreAction a{TCoreAction::Close};
        a.Link = id;
        Emit(std::move(a));
    };
    if (!Observe(now) || links_.count(id)) return refuse();
    if (type == p2::JOIN_REQUEST) return ServeJoinRequest(id, remote, key, body, size);
    if (type == p2::PEER_HELLO) {
        auto hello = p2::DecodePeerHello(body, size);
        if (!hello || state_ != InRoom) return refuse();
        return ServePeerHello(id, remote, key, *hello);
    }
    refuse();
}

void TRoomCore::OnLinkUp(int64_t now, TLinkId id, const p2::TKeyId& key) {
    if (!Observe(now)) return;
    auto it = links_.find(id);
    if (it == links_.end()) return;
    if (it->second.Role == Dialing) {
        // Someone else answers at the member's address: what it would send
        // us must not pass for that member's.
        auto peer = peers_.find(it->second.Peer);
        if (peer == peers_.end() || peer->second.Entry.Key != key) return CloseLink(id);
    }
    it->second.Key = key;
    it->second.Up = true;
    it->second.LastReceive = now;
}

void TRoomCore::OnLinkEnded(int64_t now, TLinkId id, TCoreLinkEnd why) {
    if (!Observe(now)) {
        links_.erase(id);
        return;
    }
    // Our own shell ended our host's link (it did not read what we sent, or
    // broke off a frame): that is no departure of the host, and we cannot
    // go on without it.
    if (auto it = links_.find(id); why == TCoreLinkEnd::Timeout && it != links_.end() &&
                                   it->second.Role == MemberLink && it->second.Peer == hostId_ &&
                                   hostId_ != ownId_ && !hostLost_) {
        links_.erase(it);
        return SessionLost();
    }
    // Every end counts the same: only a timeout of our own says more (see
    // OnTick), as the shell's ends are all "the other side is gone".
    DropLink(id, false, true);
}

void TRoomCore::OnTimer(int64_t now, TTimerId timer) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) return; // stopped, or not ours: never guess its owner
    TTimer t = it->second;
    timers_.erase(it);
    if (!Observe(now)) return;
    auto link = links_.find(t.Link);
    switch (t.Kind) {
    case JoinDeadline:
        if (link != links_.end() && link->second.Role == JoinPending &&
            link->second.Timer == timer) {
            link->second.Timer = 0;
            CloseLink(t.Link);
        }
        break;
    case IntroDeadline:
        if (link != links_.end() && link->second.Role == HeldIntro && link->second.Timer == timer) {
            link->second.Timer = 0;
            CloseLink(t.Link);
        }
        break;
    case AwaitNewHost:
        if (successionTimer_ == timer) {
            successionTimer_ = 0;
            if (hostLost_) SessionLost();
        }
        break;
    case AwaitHostAck:
        if (successionTimer_ == timer) {
            successionTimer_ = 0;
            if (claiming_) SessionLost();
        }
        break;
    case AdmitDeadline:
        if (link != links_.end() && link->second.Role == Admitting && link->second.Timer == timer) {
            link->second.Timer = 0;
            // A member that went quiet may still come back (or be removed)
            // before its silence bound: wait that long, not less.
            TPeer& newcomer = peers_.at(link->second.Peer);
            int64_t left = newcomer.AdmitSince + kAdmitSilentMs - now_;
            bool waiting = std::any_of(peers_.begin(), peers_.end(), [&](const auto& p) {
                return p.second.Direct && !p.second.Admission && !newcomer.AdmitAcks.count(p.first);
            });
            if (waiting && left > 0) {
                link->second.Timer = StartTimer(AdmitDeadline, left, t.Link);
                break;
            }
            // Told why, so the joiner does not take it for a full room.
            SendOn(t.Link, proto::EncodeJoinRefuse(DPERR_TIMEOUT));
            DropLink(t.Link, false);
        }
        break;
    case LinkGrace:
        if (graceTimer_ == timer) {
            graceTimer_ = 0;
            auto ids = std::exchange(grace_, {});
            std::erase_if(ids, [&](uint32_t id) {
                auto it = peers_.find(id);
                return it == peers_.end() || it->second.Direct;
            });
            // Chosen only as the lowest, we serve only if we reach everyone.
            if (!ids.empty() && !claimByLinks_) return SessionLost();
            for (uint32_t id : ids)
                if (IsHost()) HostRemove(id);
        }
        break;
    case StepDown:
        if (stepDownTimer_ == timer) {
            stepDownTimer_ = 0;
            if (claiming_) BecomeHost();
        }
        break;
    case HeldNewHost:
        if (heldNewHost_ && heldNewHost_->Timer == timer) heldNewHost_.reset();
        break;
    case Redial:
        if (auto peer = peers_.find(t.Peer); peer != peers_.end() && state_ == InRoom)
            DialPeer(peer->second);
        break;
    }
}

void TRoomCore::OnTick(int64_t now) {
    if (!Observe(now)) return;
    std::vector<TLinkId> ids;
    for (auto& [id, link] : links_)
        ids.push_back(id);
    for (TLinkId id : ids) {
        auto it = links_.find(id);
        if (it == links_.end()) continue;
        TLink& link = it->second;
        if (link.Role == Draining) {
            if (now - link.LastReceive >= kDrainSilenceMs || now - link.DrainSince >= kSilenceMs)
                EndDrain(id);
            continue;
        }
        if (reading_ && now - link.LastReceive >= kSilenceMs) {
            DropLink(id, true);
            if (state_ == Lost || state_ == Left) return;
            continue;
        }
        if (link.Up && link.Role != HeldIntro && now - link.LastSend >= kPingAfterMs)
            SendOn(id, p2::EncodeEmpty(p2::PING));
    }
    for (auto& [id, peer] : peers_)
        if (peer.AckDue) SendAck(peer);
    if (reading_) CheckAcks();
}

void TRoomCore::CheckAcks() {
    // A member that takes blocks and never acknowledges them would make its
    // senders hold them (and then refuse every send) for good.
    std::vector<uint32_t> stuck;
    for (auto& [id, peer] : peers_) {
        if (peer.Unacked.empty() || !peer.RouteLink || peer.Admission) continue;
        if (now_ - peer.Unacked.front().At < kAckTimeoutMs) continue;
        if (IsHost()) {
            DP_COVER("ack.never-acknowledged-removed");
            stuck.push_back(id);
        } else if (!peer.AckReported && id != hostId_ && !hostLost_) {
            peer.AckReported = true;
            if (auto host = peers_.find(hostId_); host != peers_.end() && host->second.Direct)
                SendOn(host->second.Direct, p2::EncodeReport({view_, id}));
        }
    }
    for (uint32_t id : stuck)
        HostRemove(id);
}

void TRoomCore::OnFrame(int64_t now, TLinkId id, uint8_t type, const uint8_t* body, size_t size) {
    if (!Observe(now)) return;
    auto it = links_.find(id);
    if (it == links_.end()) return;
    TLink& link = it->second;
    link.LastReceive = now;
    if (type == p2::PING) {
        if (!p2::DecodeEmpty(body, size)) DropLink(id, false);
        return;
    }
    switch (link.Role) {
    case JoinPending:
        return OnJoinFrame(id, link, type, body, size);
    case ToHost:
        return OnHostLinkFrame(id, link, type, body, size);
    case Dialing:
        if (type == p2::PEER_ACCEPT && p2::DecodeEmpty(body, size) && peers_.count(link.Peer))
            return SetDirect(link.Peer, id);
        // Anything else (REMOVED included: only the host removes) refuses it.
        return DropLink(id, false);
    case HeldIntro:
        return CloseLink(id); // nothing may come before the answer
    case Admitting:
        return DropLink(id, false); // nothing but PING before the welcome
    case MemberLink:
        return OnMemberFrame(id, link, type, body, size);
    case Draining: {
        // Only its blocks still count; nothing is written to it: the leaver
        // has closed its end, and a reset would throw away what is unread.
        auto departed = departing_.find(link.Peer);
        // Its acknowledgements may come between its last blocks.
        if (type == p2::ACK && departed != departing_.end() && p2::DecodeAck(body, size)) return;
        auto m = type == p2::DATA ? p2::DecodeData(body, size) : std::nullopt;
        if (departed == departing_.end() || !m) return EndDrain(id);
        return DeliverInOrder(departed->second, *m);
    }
    }
}

} // namespace dplay
