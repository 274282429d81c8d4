#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

TRoomCore::TRoomCore(uint64_t seed) : rng_(seed) {}

// ---- plumbing ---------------------------------------------------------------

bool TRoomCore::Observe(int64_t now) {
    bool frozen = lastNow_ && now - *lastNow_ > kFrozenMs;
    lastNow_ = now;
    now_ = now;
    // Stopped for longer than the others wait: they may have removed us and
    // chosen another host. Carrying on could make a second copy of the room.
    if (frozen && (state_ == InRoom || state_ == Entering || state_ == Opened)) SessionLost();
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
            bytes += out.Block->size();
        }
        if (bytes != peer.UnackedBytes || bytes > kMaxUnackedBytes) return "store count wrong";
        if (peer.Expected == 0) return "expected sequence 0";
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

void TRoomCore::Join(int64_t now, uint32_t hostIpv4, uint16_t port, const TGuid& application,
                     const TGuid& instance) {
    Observe(now);
    if (state_ != Idle) return Finish(TCoreAction::Open, DPERR_ALREADYINITIALIZED);
    room_.Application = application;
    room_.Instance = instance;
    hostIpv4_ = hostIpv4;
    state_ = Opening;
    joinLink_ = NewLinkId();
    TLink link{ToHost};
    link.LastReceive = link.LastSend = now;
    link.RemoteIpv4 = hostIpv4;
    links_[joinLink_] = link;
    TCoreAction a{TCoreAction::Dial};
    a.Link = joinLink_;
    a.Ipv4 = hostIpv4;
    a.Port = port;
    a.Frame = proto::EncodeJoinRequest(instance);
    Emit(std::move(a));
}

void TRoomCore::CreatePlayer(int64_t now, const std::string& name, uint16_t memberPort) {
    if (!Observe(now) || state_ != Opened)
        return Finish(TCoreAction::CreatePlayer, DPERR_CANTCREATEPLAYER);
    if (!p2::NameShowable(name)) return Finish(TCoreAction::CreatePlayer, DPERR_INVALIDPARAMS);
    self_ = p2::TViewEntry{};
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
        if (peer->UnackedBytes + size > kMaxUnackedBytes) return SendFull;
    auto block = std::make_shared<const std::vector<uint8_t>>(data, data + size);
    for (TPeer* peer : targets) {
        TOutgoing out{peer->NextSeq++, block, now_};
        peer->Unacked.push_back(out);
        peer->UnackedBytes += size;
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
    graceTimer_ = 0;
    pairSecrets_.clear();
    UpdateListing();
}

// ---- link events -------------------------------------------------------------

void TRoomCore::OnLinkAccepted(int64_t now, TLinkId id, uint32_t remoteIpv4, uint8_t type,
                               const uint8_t* body, size_t size) {
    auto refuse = [&] {
        TCoreAction a{TCoreAction::Close};
        a.Link = id;
        Emit(std::move(a));
    };
    if (!Observe(now) || links_.count(id)) return refuse();
    if (type == p2::JOIN_REQUEST) return ServeJoinRequest(id, remoteIpv4, body, size);
    if (type == p2::PEER_HELLO) {
        auto hello = p2::DecodePeerHello(body, size);
        if (!hello || state_ != InRoom) return refuse();
        return ServePeerHello(id, remoteIpv4, *hello);
    }
    refuse();
}

void TRoomCore::OnLinkUp(int64_t now, TLinkId id) {
    if (!Observe(now)) return;
    auto it = links_.find(id);
    if (it == links_.end()) return;
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
    DropLink(id, false);
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

// ---- admission ------------------------------------------------------------------

void TRoomCore::ServeJoinRequest(TLinkId id, uint32_t remoteIpv4, const uint8_t* body,
                                 size_t size) {
    auto refuse = [&](HRESULT why) {
        TCoreAction send{TCoreAction::Send};
        send.Link = id;
        send.Frame = proto::EncodeJoinRefuse(why);
        Emit(std::move(send));
        TCoreAction close{TCoreAction::Close};
        close.Link = id;
        Emit(std::move(close));
    };
    auto instance = proto::DecodeJoinRequest(body, size);
    if (!instance || *instance != room_.Instance || !IsHost()) return refuse(DPERR_NOSESSIONS);
    if (1 + peers_.size() >= Limit()) return refuse(DPERR_SESSIONFULL);
    size_t pending = 0, fromAddress = 0;
    for (auto& [other, link] : links_) {
        if (link.Role != JoinPending) continue;
        ++pending;
        if (link.RemoteIpv4 == remoteIpv4) ++fromAddress;
    }
    // Pending joins hold no place; they are only bounded in number and time.
    if (pending >= kMaxPendingJoins || fromAddress >= kMaxPendingJoinsPerAddress)
        return refuse(DPERR_SESSIONFULL);
    TLink link{JoinPending};
    link.RemoteIpv4 = remoteIpv4;
    link.Up = true;
    link.LastReceive = link.LastSend = now_;
    links_[id] = link;
    links_.at(id).Timer = StartTimer(JoinDeadline, kJoinDeadlineMs, id);
    SendOn(id, proto::EncodeJoinAccept(CurrentInfo()));
}

void TRoomCore::OnJoinFrame(TLinkId id, TLink& link, uint8_t type, const uint8_t* body,
                            size_t size) {
    auto request = type == p2::CREATE_PLAYER ? proto::DecodeCreatePlayer(body, size) : std::nullopt;
    if (!request) return CloseLink(id);
    if (!p2::NameShowable(request->Name)) {
        // Shown in every member's log and terminal: a newline would forge a line.
        StopTimer(link.Timer);
        SendOn(id, proto::EncodeJoinRefuse(DPERR_INVALIDPARAMS));
        return CloseLink(id);
    }
    Admit(id, link, *request);
}

void TRoomCore::Admit(TLinkId id, TLink& link, const proto::TCreatePlayer& request) {
    StopTimer(link.Timer);
    if (!IsHost() || 1 + peers_.size() >= Limit()) {
        SendOn(id, proto::EncodeJoinRefuse(DPERR_SESSIONFULL));
        return CloseLink(id);
    }
    uint32_t join = self_.JoinNumber;
    for (auto& [other, peer] : peers_)
        join = std::max(join, peer.Entry.JoinNumber);
    p2::TViewEntry entry;
    entry.Id = NewMemberId();
    entry.JoinNumber = join + 1;
    entry.Ipv4 = link.RemoteIpv4;
    entry.Port = request.ListenPort;
    entry.Name = request.Name.substr(0, p2::kMaxName);
    orderView_ = ++view_;
    // Everyone hears of the newcomer before it can introduce itself, each
    // with the secret of its own pair with it: a secret only that pair knows,
    // so no member can introduce itself as another.
    for (auto& [other, peer] : peers_) {
        p2::TSecret secret = NewSecret();
        pairSecrets_[PairKey(other, entry.Id)] = secret;
        if (peer.Direct) SendOn(peer.Direct, p2::EncodeMemberAdded({view_, entry, secret}));
    }
    size_t before = 1 + peers_.size();
    AddPeer(entry, nullptr, true);
    link.Role = Admitting;
    link.Peer = entry.Id;
    link.Dialer = entry.Id;
    TPeer& peer = peers_.at(entry.Id);
    peer.Admission = id;
    peer.AdmitView = view_;
    peer.AdmitOf = before;
    peer.AdmitSince = now_;
    link.Timer = StartTimer(AdmitDeadline, kJoinDeadlineMs, id);
    UpdateListing();
    TryWelcome(entry.Id);
}

void TRoomCore::TryWelcome(uint32_t id) {
    auto it = peers_.find(id);
    if (it == peers_.end() || !it->second.Admission) return;
    TPeer& peer = it->second;
    // The newcomer enters once a majority of the view before it has taken the
    // new one: a part of the room that missed it can then never be a majority
    // that goes on with an older view.
    // A room of two is the exception: its one other member could never go on
    // alone after a silence, so there is no part that could compete.
    if (peer.AdmitOf > 2 && !room::Majority(1 + peer.AdmitAcks.size(), peer.AdmitOf)) return;
    TLinkId linkId = peer.Admission;
    TLink& link = links_.at(linkId);
    StopTimer(link.Timer);
    link.Role = MemberLink;
    peer.Admission = 0;
    peer.Direct = linkId;
    // The welcome lists who came before the newcomer. Who was admitted while
    // it waited follows as MEMBER_ADDED, as the others heard of them: so the
    // newcomer is told of each later arrival, and takes the pair secret of
    // each from the later member's admission, not from its own.
    p2::TWelcome welcome{ViewMessage(), id, {}};
    auto secretWith = [&](uint32_t other) {
        auto it = pairSecrets_.find(PairKey(id, other));
        return it == pairSecrets_.end() ? p2::TSecret{} : it->second;
    };
    // (Links to them drop out of the masks, which name listed members only.)
    std::vector<p2::TFrame> later;
    std::erase_if(welcome.View.Members, [&](const p2::TViewEntry& e) {
        if (e.JoinNumber <= peer.Entry.JoinNumber) return false;
        later.push_back(p2::EncodeMemberAdded({view_, e, secretWith(e.Id)}));
        return true;
    });
    for (p2::TViewEntry& e : welcome.View.Members) {
        if (e.Id == ownId_) e.Ipv4 = 0; // the joiner knows where it reached us
        welcome.Secrets.push_back(e.Id == ownId_ || e.Id == id ? p2::TSecret{} : secretWith(e.Id));
    }
    ForgetPairSecrets(id, false);
    SendOn(linkId, p2::EncodeWelcome(welcome));
    for (auto& frame : later)
        SendOn(linkId, frame);
    for (auto& frame : peer.Held)
        SendOn(linkId, frame);
    peer.Held.clear();
    peer.HeldBytes = 0;
    // What could not be held is sent again by its senders: nothing is lost.
    for (uint32_t sender : peer.Dropped)
        if (auto it = peers_.find(sender); it != peers_.end() && it->second.Direct)
            SendOn(it->second.Direct, p2::EncodeResend(id));
    peer.Dropped.clear();
    Reroute(peer);
}

void TRoomCore::ForgetPairSecrets(uint32_t id, bool all) {
    // The host keeps a pair's secret only until both of its members have it.
    std::erase_if(pairSecrets_, [&](const auto& entry) {
        auto [a, b] = entry.first;
        if (a != id && b != id) return false;
        if (all) return true;
        auto other = peers_.find(a == id ? b : a);
        return other == peers_.end() || !other->second.Admission;
    });
}

void TRoomCore::OnHostLinkFrame(TLinkId id, TLink&, uint8_t type, const uint8_t* body,
                                size_t size) {
    if (type == p2::REMOVED && p2::DecodeEmpty(body, size)) return SessionLost();
    if (state_ == Opening) {
        if (type == p2::JOIN_ACCEPT) {
            auto info = proto::DecodeJoinAccept(body, size);
            if (info && info->Instance == room_.Instance && p2::NameShowable(info->Name)) {
                TGuid application = room_.Application;
                room_ = *info;
                room_.Application = application;
                state_ = Opened;
                return Finish(TCoreAction::Open, DP_OK);
            }
        } else if (type == p2::JOIN_REFUSE) {
            if (auto code = proto::DecodeJoinRefuse(body, size); code && Failed(*code)) {
                CloseLink(id);
                state_ = Left;
                return Finish(TCoreAction::Open, *code);
            }
        }
        return DropLink(id, false);
    }
    if (state_ == Entering) {
        if (type == p2::WELCOME) {
            if (auto welcome = p2::DecodeWelcome(body, size)) return OnWelcome(id, *welcome);
        } else if (type == p2::JOIN_REFUSE) {
            if (auto code = proto::DecodeJoinRefuse(body, size); code && Failed(*code)) {
                CloseLink(id);
                state_ = Left;
                return Finish(TCoreAction::CreatePlayer, *code);
            }
        }
    }
    DropLink(id, false);
}

void TRoomCore::OnWelcome(TLinkId id, const p2::TWelcome& m) {
    // A view larger than the room, or one naming the host address book
    // wrongly, is a broken host: we do not enter.
    if (m.View.Members.size() > Limit()) return DropLink(id, false);
    ownId_ = m.YourId;
    hostId_ = m.View.HostId;
    view_ = m.View.View;
    for (size_t i = 0; i < m.View.Members.size(); ++i) {
        const p2::TViewEntry& e = m.View.Members[i];
        if (e.Id == ownId_) {
            std::string name = self_.Name;
            uint16_t port = self_.Port;
            self_ = e;
            self_.Name = name;
            self_.Port = port;
            continue;
        }
        p2::TViewEntry entry = e;
        if (entry.Id == hostId_ && entry.Ipv4 == 0) entry.Ipv4 = hostIpv4_;
        AddPeer(entry, e.Id == hostId_ ? nullptr : &m.Secrets[i], false);
    }
    TLink& link = links_.at(id);
    link.Role = MemberLink;
    link.Peer = hostId_;
    link.Dialer = ownId_;
    peers_.at(hostId_).Direct = id;
    state_ = InRoom;
    joinLink_ = 0;
    Finish(TCoreAction::CreatePlayer, DP_OK, ownId_);
    RerouteAll();
    for (auto& [other, peer] : peers_)
        DialPeer(peer);
    ReleaseHeldIntroductions();
}

// ---- introductions ----------------------------------------------------------------

bool TRoomCore::IntroductionValid(const p2::TPeerHello& m) const {
    if (m.Instance != room_.Instance || m.TargetId != ownId_ || m.FromId == ownId_ ||
        m.FromId == hostId_)
        return false;
    auto it = peers_.find(m.FromId);
    return it != peers_.end() && it->second.SecretKnown && !it->second.Distrusted &&
           it->second.Secret == m.Secret;
}

void TRoomCore::ServePeerHello(TLinkId id, uint32_t remoteIpv4, const p2::TPeerHello& m) {
    TLink link{HeldIntro};
    link.RemoteIpv4 = remoteIpv4;
    link.Up = true;
    link.LastReceive = link.LastSend = now_;
    link.Hello = m;
    link.Dialer = m.FromId;
    if (IntroductionValid(m)) {
        links_[id] = link;
        return AcceptIntroduction(id, links_.at(id));
    }
    // Its MEMBER_ADDED may still be on the way from the host: wait for it,
    // briefly and for a few only. Anything else is refused now.
    size_t held = 0;
    for (auto& [other, l] : links_)
        held += l.Role == HeldIntro;
    bool unknown = m.Instance == room_.Instance && m.TargetId == ownId_ && m.FromId != ownId_ &&
                   !peers_.count(m.FromId) && !usedIds_.count(m.FromId);
    if (!unknown || held >= kMaxHeldIntroductions) {
        TCoreAction a{TCoreAction::Close};
        a.Link = id;
        return Emit(std::move(a));
    }
    links_[id] = link;
    links_.at(id).Timer = StartTimer(IntroDeadline, kIntroHoldMs, id);
}

void TRoomCore::AcceptIntroduction(TLinkId id, TLink& link) {
    StopTimer(link.Timer);
    link.Role = MemberLink;
    link.Peer = link.Hello.FromId;
    SendOn(id, p2::EncodeEmpty(p2::PEER_ACCEPT));
    SetDirect(link.Peer, id);
}

void TRoomCore::ReleaseHeldIntroductions() {
    std::vector<TLinkId> ids;
    for (auto& [id, link] : links_)
        if (link.Role == HeldIntro) ids.push_back(id);
    for (TLinkId id : ids) {
        TLink& link = links_.at(id);
        if (IntroductionValid(link.Hello))
            AcceptIntroduction(id, link);
        else if (peers_.count(link.Hello.FromId))
            CloseLink(id); // announced, but the secret is wrong
    }
}

void TRoomCore::DialPeer(const TPeer& peer) {
    const p2::TViewEntry& e = peer.Entry;
    if (e.Id == hostId_ || peer.Direct || !peer.SecretKnown || peer.Distrusted || e.Ipv4 == 0 ||
        e.Port == 0)
        return;
    for (auto& [id, link] : links_)
        if (link.Role == Dialing && link.Peer == e.Id) return;
    TLinkId id = NewLinkId();
    TLink link{Dialing};
    link.Peer = e.Id;
    link.Dialer = ownId_;
    link.RemoteIpv4 = e.Ipv4;
    link.LastReceive = link.LastSend = now_;
    links_[id] = link;
    TCoreAction a{TCoreAction::Dial};
    a.Link = id;
    a.Ipv4 = e.Ipv4;
    a.Port = e.Port;
    a.Frame = p2::EncodePeerHello({room_.Instance, e.Id, ownId_, peer.Secret});
    Emit(std::move(a));
}

void TRoomCore::SetDirect(uint32_t peerId, TLinkId id) {
    TPeer& peer = peers_.at(peerId);
    TLink& link = links_.at(id);
    link.Role = MemberLink;
    link.Peer = peerId;
    TLinkId was = peer.Direct;
    if (peer.Direct && peer.Direct != id) {
        // Both sides dialed: both keep the link dialed by the lower id.
        uint32_t lower = std::min(ownId_, peerId);
        bool keepNew = link.Dialer == lower || links_.at(peer.Direct).Dialer != lower;
        if (!keepNew) return CloseLink(id);
        CloseLink(peer.Direct);
    }
    peer.Direct = id;
    if (IsHost() && grace_.erase(peerId)) {
        // It waited for our claim on a link that was still being made.
        SendOn(id, p2::EncodeNewHost(ViewMessage()));
        SendLinkView();
    } else if (was && (IsHost() || claiming_)) {
        // The pair moved to the link both keep, and the other side may close
        // the one we used unread: our claim and view frames on it with it.
        // Blocks are sent again by their sequence; the view goes whole.
        DP_COVER("pair-link-changed.view-again");
        SendOn(id, p2::EncodeNewHost(ViewMessage()));
    } else if (was && peerId == hostId_ && !hostLost_) {
        // Likewise what we told a host that is a member we linked with.
        DP_COVER("pair-link-changed.ack-again");
        SendOn(id, p2::EncodeHostAck(view_));
        reportedView_ = 0;
    }
    // Blocks relayed through the host move with its link.
    if (peerId == hostId_)
        RerouteAll();
    else
        Reroute(peer);
    ReportLinks();
}

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
    orderView_ = ++view_;
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
            } else if (auto it = peers_.find(m->Peer);
                       it != peers_.end() && m->Peer != from && it->second.Direct) {
                SendOn(it->second.Direct, p2::EncodeRelay(from, m->InnerType, m->InnerBody.data(),
                                                          m->InnerBody.size()));
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
            // A report made in any view with the members of ours names
            // them in the same order: taken, or reports sent at once by
            // several members would each wait for the others' round trip.
            if (IsHost() && m->View >= orderView_ && m->View <= view_)
                HostSetLinks(from, p2::IdsOf(m->Mask, ViewOrder()));
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
            peer.UnackedBytes -= peer.Unacked.front().Block->size();
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

// ---- losing links, the host, the session ----------------------------------------------

void TRoomCore::DropLink(TLinkId id, bool timedOut) {
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
        MemberLinkGone(link.Peer, id, timedOut);
        break;
    case Draining:
        if (departing_.erase(link.Peer)) NoticeDestroy(link.Peer);
        break;
    case Dialing:
        if (auto peer = peers_.find(link.Peer); peer != peers_.end() && !peer->second.Direct &&
                                                state_ == InRoom &&
                                                ++peer->second.DialsFailed < kMaxDials) {
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

void TRoomCore::MemberLinkGone(uint32_t peerId, TLinkId id, bool timedOut) {
    auto it = peers_.find(peerId);
    if (it == peers_.end() || it->second.Direct != id) return; // a spare link of a pair
    it->second.Direct = 0;
    // Everyone went quiet at once: it is our own network that is gone.
    if (timedOut && CutOff(id)) return SessionLost();
    if (hostId_ == ownId_) {
        if (!IsHost()) return Reroute(it->second); // claiming: decided when confirmed
        if (timedOut) {
            // Those who went silent may be a majority that carries on without
            // us; then we are the part that has to go.
            timeoutRemovals_.push_back(now_);
            while (now_ - timeoutRemovals_.front() > kSilenceWindowMs)
                timeoutRemovals_.pop_front();
            size_t silent = timeoutRemovals_.size();
            size_t before = ViewOrder().size() + silent - 1;
            if (room::Majority(silent, before)) return SessionLost();
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

uint32_t TRoomCore::Successor(bool* byLinks, uint32_t without) const {
    *byLinks = true;
    // Everyone applies this to the same view: the lowest join number among
    // the members linked directly to all others, else the lowest of all
    // (*byLinks false: the view's links may lag behind a fresh room's). A
    // link counts only when both of its ends report it: one member's word
    // cannot make it the successor.
    auto order = ViewOrder();
    std::erase(order, without);
    auto linksOf = [&](uint32_t id) -> const std::set<uint32_t>& {
        return id == ownId_ ? self_.Links : peers_.at(id).Entry.Links;
    };
    for (uint32_t candidate : order) {
        bool all = true;
        for (uint32_t other : order)
            if (other != candidate &&
                !(linksOf(candidate).count(other) && linksOf(other).count(candidate)))
                all = false;
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
    // A link to it is being made: ours dialed, or its introduction held.
    return std::any_of(links_.begin(), links_.end(), [&](const auto& l) {
        return (l.second.Role == Dialing && l.second.Peer == id) ||
               (l.second.Role == HeldIntro && l.second.Hello.FromId == id);
    });
}

void TRoomCore::Claim(THostEnd how) {
    hostLost_ = false;
    claiming_ = true;
    hostId_ = ownId_;
    // Those we cannot reach stay in the view until we are confirmed: if we
    // yield to another claimant, what we exchanged with them still counts.
    orderView_ = claimView_ = ++view_;
    auto frame = p2::EncodeNewHost(ViewMessage());
    for (auto& [id, peer] : peers_)
        SendOn(peer.Direct, frame);
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
    successionTimer_ = 0;
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
