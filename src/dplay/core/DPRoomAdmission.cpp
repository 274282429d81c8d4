// The room core: admission (who enters, held until most of the room took
// the new view) and introductions (how two members meet, and prove it).
#include "dplay/core/DPRoomCore.h"

#include "dplay/core/DPCoverMark.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dplay {

using namespace room;
namespace p2 = proto2;

// ---- admission ------------------------------------------------------------------

void TRoomCore::ServeJoinRequest(TLinkId id, const TNetAddress& remote, const p2::TKeyId& key,
                                 const uint8_t* body, size_t size) {
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
        if (link.Remote.Source() == remote.Source()) ++fromAddress;
    }
    // Pending joins hold no place; they are only bounded in number and time.
    if (pending >= kMaxPendingJoins || fromAddress >= kMaxPendingJoinsPerAddress)
        return refuse(DPERR_SESSIONFULL);
    TLink link{JoinPending};
    link.Remote = remote;
    link.Key = key;
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
    entry.Address = link.Remote;
    entry.Key = link.Key;
    entry.Port = request.ListenPort;
    entry.Name = request.Name.substr(0, p2::kMaxName);
    ++view_;
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
        if (e.Id == ownId_) e.Address = {}; // the joiner knows where it reached us
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
    AskDroppedAgain(id, peer);
    Reroute(peer);
}

void TRoomCore::AskDroppedAgain(uint32_t id, TPeer& peer) {
    for (uint32_t sender : peer.Dropped)
        if (auto it = peers_.find(sender); it != peers_.end() && it->second.Direct)
            SendOn(it->second.Direct, p2::EncodeResend(id));
    peer.Dropped.clear();
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
    // The keys must be those of the two ends of this link: another key for
    // us or for the host means someone sits between us and relays.
    const TLink& toHost = links_.at(id);
    for (const p2::TViewEntry& e : m.View.Members)
        if ((e.Id == m.YourId && e.Key != ownKey_) || (e.Id == m.View.HostId && e.Key != toHost.Key))
            return DropLink(id, false);
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
        if (entry.Id == hostId_ && entry.Address.IsNone()) entry.Address = hostAddress_;
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

bool TRoomCore::IntroductionValid(const p2::TPeerHello& m, const p2::TKeyId& key) const {
    if (m.Instance != room_.Instance || m.TargetId != ownId_ || m.FromId == ownId_ ||
        m.FromId == hostId_)
        return false;
    auto it = peers_.find(m.FromId);
    return it != peers_.end() && it->second.SecretKnown && !it->second.Distrusted &&
           it->second.Secret == m.Secret && it->second.Entry.Key == key;
}

void TRoomCore::ServePeerHello(TLinkId id, const TNetAddress& remote, const p2::TKeyId& key,
                               const p2::TPeerHello& m) {
    TLink link{HeldIntro};
    link.Remote = remote;
    link.Key = key;
    link.Up = true;
    link.LastReceive = link.LastSend = now_;
    link.Hello = m;
    link.Dialer = m.FromId;
    if (IntroductionValid(m, key)) {
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
        if (IntroductionValid(link.Hello, link.Key))
            AcceptIntroduction(id, link);
        else if (peers_.count(link.Hello.FromId))
            CloseLink(id); // announced, but the secret or the key is wrong
    }
}

void TRoomCore::DialPeer(const TPeer& peer) {
    const p2::TViewEntry& e = peer.Entry;
    if (e.Id == hostId_ || peer.Direct || !peer.SecretKnown || peer.Distrusted ||
        e.Address.IsNone() || e.Port == 0)
        return;
    for (auto& [id, link] : links_)
        if (link.Role == Dialing && link.Peer == e.Id) return;
    TLinkId id = NewLinkId();
    TLink link{Dialing};
    link.Peer = e.Id;
    link.Dialer = ownId_;
    link.Remote = e.Address;
    link.LastReceive = link.LastSend = now_;
    links_[id] = link;
    TCoreAction a{TCoreAction::Dial};
    a.Link = id;
    a.Address = e.Address;
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
    // What was relayed to it while its link to us was being made.
    if (hostId_ == ownId_) AskDroppedAgain(peerId, peer);
    if (IsHost() && grace_.erase(peerId)) {
        // It waited for our claim on a link that was still being made.
        SendClaim(id);
        SendLinkView();
    } else if (claiming_ && !was) {
        // Our claim went to those we had a link to; this one's was being made.
        DP_COVER("claim.sent-on-new-link");
        SendClaim(id);
    } else if (was && (IsHost() || claiming_)) {
        // The pair moved to the link both keep, and the other side may close
        // the one we used unread: our claim and view frames on it with it.
        // Blocks are sent again by their sequence; the view goes whole.
        DP_COVER("pair-link-changed.view-again");
        SendClaim(id);
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

} // namespace dplay
