#include "dplay/v1/DPRoom.h"

#include "dplay/directory/DPDirectory.h"
#include "dplay/service/DPService.h"

#include <cstring>
#include <random>

namespace dplay {
namespace {

// Messages held for the owner before the links stop reading.
constexpr size_t kMaxQueuedBytes = 32u << 20;

uint32_t Ipv4Of(const asio::ip::address& address) {
    return address.is_v4() ? address.to_v4().to_uint() : 0;
}

} // namespace

TDPRoom::TDPRoom(TDPService& service, proto::TRoomInfo info, uint16_t directoryPort, bool host)
    : service_(service), info_(std::move(info)), directoryPort_(directoryPort), isHost_(host) {}

TDPRoom::~TDPRoom() = default;

proto::TRoomInfo TDPRoom::CurrentInfo() const {
    proto::TRoomInfo info = info_;
    info.CurrentPlayers = static_cast<uint32_t>(members_.size()) + (ownId_ ? 1 : 0);
    return info;
}

void TDPRoom::Push(DPID from, std::vector<uint8_t> bytes, uint32_t announces) {
    const size_t held = queue_.Push(from, std::move(bytes), announces);
    bool pause = false;
    {
        std::lock_guard lock(queueMutex_);
        if (held > kMaxQueuedBytes && !paused_) pause = paused_ = true;
    }
    // The owner is not taking messages (a modal dialog, a slow handler):
    // stop reading instead of holding without bound.
    if (pause) PauseLinks(true);
    if (event_) event_->Set();
}

void TDPRoom::PauseLinks(bool pause) {
    for (auto& [id, member] : members_) {
        if (pause)
            member.Link->Pause();
        else
            member.Link->Resume();
    }
}

void TDPRoom::PushSystem(const void* msg, size_t size, const std::string& tail,
                         uint32_t announces) {
    std::vector<uint8_t> bytes(size + tail.size());
    std::memcpy(bytes.data(), msg, size);
    if (!tail.empty()) std::memcpy(bytes.data() + size, tail.data(), tail.size());
    Push(DPID_SYSMSG, std::move(bytes), announces);
}

HRESULT TDPRoom::Receive(DPID* from, DPID* to, void* data, uint32_t* size) {
    size_t held = 0;
    HRESULT hr = queue_.Take(from, data, size, &held);
    if (hr != DP_OK) return hr;
    if (to) *to = ownId_;
    std::lock_guard lock(queueMutex_);
    if (paused_ && held < kMaxQueuedBytes / 2) {
        paused_ = false;
        asio::post(service_.Io(), [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->PauseLinks(false);
        });
    }
    return DP_OK;
}

uint32_t TDPRoom::NewId() const {
    static thread_local std::mt19937 rng{std::random_device{}()};
    for (;;) {
        uint32_t id = rng();
        if (id != 0 && id != 0xFFFFFFFFu && id != ownId_ && !members_.count(id)) return id;
    }
}

void TDPRoom::CreatePlayer(const std::string& name, std::shared_ptr<TDPEvent> event,
                           std::function<void(HRESULT, uint32_t)> done) {
    if (left_ || ownId_ || createDone_) {
        done(DPERR_CANTCREATEPLAYER, 0);
        return;
    }
    ownName_ = name.substr(0, proto::kMaxName);
    event_ = std::move(event);
    if (isHost_) {
        ownId_ = NewId();
        ownSeq_ = 0;
        service_.AddMember(info_.Instance, ownId_, weak_from_this());
        BecomeListed();
        done(DP_OK, ownId_);
        return;
    }
    if (!hostLink_ || !hostLink_->IsOpen()) {
        done(DPERR_CONNECTIONLOST, 0);
        return;
    }
    createDone_ = std::move(done);
    hostLink_->Send(proto::EncodeCreatePlayer({service_.MemberPort(), ownName_}));
}

void TDPRoom::FinishCreate(HRESULT result) {
    if (!createDone_) return;
    auto done = std::move(createDone_);
    createDone_ = nullptr;
    done(result, Failed(result) ? 0 : ownId_);
}

void TDPRoom::SetHostLink(const std::shared_ptr<TDPLink>& link,
                          const asio::ip::address& hostAddress) {
    hostLink_ = link;
    hostAddress_ = hostAddress;
    service_.AddJoining(weak_from_this());
    std::weak_ptr<TDPRoom> weak = weak_from_this();
    link->SetHandlers(
        [weak, raw = link.get()](uint8_t type, const uint8_t* body, size_t size) {
            auto self = weak.lock();
            if (!self || self->left_) return false;
            if (type == proto::PING && proto::DecodeEmpty(body, size)) return true;
            std::optional<proto::TWelcome> welcome;
            if (type == proto::WELCOME && self->createDone_ && !self->ownId_)
                welcome = proto::DecodeWelcome(body, size);
            if (!welcome || !proto::WelcomeIsSound(*welcome, self->info_.MaxPlayers)) {
                raw->Close(TLinkEnd::Violation);
                return false;
            }
            self->OnWelcome(*welcome);
            return true;
        },
        [weak](TLinkEnd) {
            if (auto self = weak.lock()) self->FinishCreate(DPERR_CONNECTIONLOST);
        });
}

void TDPRoom::OnWelcome(const proto::TWelcome& m) {
    ownId_ = m.YourId;
    ownSeq_ = m.YourSeq;
    service_.AddMember(info_.Instance, ownId_, weak_from_this());
    // The first entry is the host, reached on the link we already have.
    proto::TMemberInfo host = m.Members[0];
    host.Ipv4 = Ipv4Of(hostAddress_);
    AddMember(host, hostLink_, false);
    WatchMember(host.Id, hostLink_);
    peersOutstanding_ = 1; // held until every dial has started
    std::weak_ptr<TDPRoom> weak = weak_from_this();
    for (size_t i = 1; i < m.Members.size(); ++i) {
        const proto::TMemberInfo info = m.Members[i];
        if (info.Id == 0 || info.Id == ownId_ || members_.count(info.Id)) continue;
        ++peersOutstanding_;
        proto::TPeerHello hello{
            info_.Instance, info.Id,
            proto::TMemberInfo{ownId_, ownSeq_, 0, service_.MemberPort(), ownName_}};
        auto accepted = std::make_shared<bool>(false);
        asio::ip::tcp::endpoint endpoint(asio::ip::address_v4(info.Ipv4), info.Port);
        service_.Dial(
            endpoint, info_.Application, proto::EncodePeerHello(hello),
            [weak, info, accepted](const std::shared_ptr<TDPLink>& link, uint8_t type,
                                   const uint8_t* body, size_t size) {
                auto self = weak.lock();
                if (!self || self->left_ || *accepted || type != proto::PEER_ACCEPT ||
                    !proto::DecodeEmpty(body, size)) {
                    link->Close(TLinkEnd::Violation);
                    return false;
                }
                *accepted = true;
                if (!self->members_.count(info.Id)) {
                    self->AddMember(info, link, false);
                    self->WatchMember(info.Id, link);
                }
                self->PeerDone();
                return true;
            },
            [weak, accepted](TLinkEnd) {
                // Unreachable member: we go on without it.
                if (*accepted) return;
                *accepted = true;
                if (auto self = weak.lock()) self->PeerDone();
            });
    }
    PeerDone();
}

void TDPRoom::PeerDone() {
    if (--peersOutstanding_ == 0) FinishCreate(left_ ? DPERR_CONNECTIONLOST : DP_OK);
}

void TDPRoom::AddMember(const proto::TMemberInfo& info, const std::shared_ptr<TDPLink>& link,
                        bool notify) {
    members_[info.Id] = Member{info, link};
    {
        std::lock_guard lock(linksMutex_);
        sendLinks_[info.Id] = link;
    }
    if (notify) {
        DPMSG_CREATEPLAYERORGROUP msg{DPSYS_CREATEPLAYERORGROUP, DPPLAYERTYPE_PLAYER, info.Id,
                                      static_cast<uint32_t>(members_.size() + 1),
                                      static_cast<uint32_t>(info.Name.size())};
        PushSystem(&msg, sizeof msg, info.Name, info.Id);
    }
    if (isHost_) service_.Directory(directoryPort_).LocalChanged(this);
}

void TDPRoom::WatchMember(uint32_t id, const std::shared_ptr<TDPLink>& link) {
    std::weak_ptr<TDPRoom> weak = weak_from_this();
    TDPLink* raw = link.get();
    link->SetHandlers(
        [weak, id, raw](uint8_t type, const uint8_t* body, size_t size) {
            auto self = weak.lock();
            if (!self || self->left_) return false;
            if (type == proto::DATA) {
                self->Push(id, std::vector<uint8_t>(body, body + size));
                return true;
            }
            if (type == proto::PING && proto::DecodeEmpty(body, size)) return true;
            raw->Close(TLinkEnd::Violation);
            return false;
        },
        [weak, id, raw](TLinkEnd why) {
            if (auto self = weak.lock()) self->MemberLost(id, raw, why);
        });
}

void TDPRoom::MemberLost(uint32_t id, const TDPLink* link, TLinkEnd why) {
    if (left_) return;
    auto it = members_.find(id);
    if (it == members_.end() || it->second.Link.get() != link) return;
    if (why == TLinkEnd::Timeout && members_.size() > 1) {
        // Everyone silent at once: it is our own network that is gone.
        bool allSilent = true;
        for (auto& [otherId, member] : members_)
            if (otherId != id && member.Link->SilentMs() < proto::kKeepaliveTimeoutMs / 2)
                allSilent = false;
        if (allSilent) {
            SessionLost();
            return;
        }
    }
    members_.erase(it);
    {
        std::lock_guard lock(linksMutex_);
        sendLinks_.erase(id);
    }
    DPMSG_DESTROYPLAYERORGROUP msg{DPSYS_DESTROYPLAYERORGROUP, DPPLAYERTYPE_PLAYER, id};
    PushSystem(&msg, sizeof msg);
    CheckHost();
    if (isHost_) service_.Directory(directoryPort_).LocalChanged(this);
}

void TDPRoom::CheckHost() {
    if (isHost_ || !ownId_) return;
    for (auto& [id, member] : members_)
        if (member.Info.Seq < ownSeq_) return;
    isHost_ = true;
    DPMSG_GENERIC msg{DPSYS_HOST};
    PushSystem(&msg, sizeof msg);
    BecomeListed();
}

void TDPRoom::BecomeListed() {
    service_.AddHostedRoom(info_.Instance, weak_from_this());
    TDPDirectory& directory = service_.Directory(directoryPort_);
    directory.AddLocal(shared_from_this());
}

void TDPRoom::SessionLost() {
    Leave();
    DPMSG_GENERIC msg{DPSYS_SESSIONLOST};
    PushSystem(&msg, sizeof msg);
}

void TDPRoom::AcceptJoin(const std::shared_ptr<TDPLink>& link) {
    auto refuse = [&](HRESULT why) {
        link->Send(proto::EncodeJoinRefuse(why));
        link->CloseAfterSend();
    };
    if (left_ || !isHost_ || !ownId_) return refuse(DPERR_NOSESSIONS);
    size_t count = 1 + members_.size() + pendingLinks_.size();
    if (info_.MaxPlayers && count >= info_.MaxPlayers) return refuse(DPERR_SESSIONFULL);
    TDPLink* raw = link.get();
    pendingLinks_[raw] = link;
    std::weak_ptr<TDPRoom> weak = weak_from_this();
    link->SetHandlers(
        [weak, raw](uint8_t type, const uint8_t* body, size_t size) {
            auto self = weak.lock();
            if (!self || self->left_) return false;
            if (type == proto::PING && proto::DecodeEmpty(body, size)) return true;
            auto it = self->pendingLinks_.find(raw);
            auto request =
                type == proto::CREATE_PLAYER ? proto::DecodeCreatePlayer(body, size) : std::nullopt;
            if (!request || it == self->pendingLinks_.end()) {
                raw->Close(TLinkEnd::Violation);
                return false;
            }
            auto link = it->second;
            self->pendingLinks_.erase(it);
            self->OnCreatePlayerRequest(link, *request);
            return true;
        },
        [weak, raw](TLinkEnd) {
            if (auto self = weak.lock()) self->pendingLinks_.erase(raw);
        });
    link->Send(proto::EncodeJoinAccept(CurrentInfo()));
    // A held place must be taken soon, or it goes back to the room.
    auto deadline = std::make_shared<asio::steady_timer>(service_.Io());
    deadline->expires_after(std::chrono::milliseconds(proto::kJoinDeadlineMs));
    // The timer knows its link, not the link's address: a later link made
    // where this one was must not meet this deadline.
    deadline->async_wait(
        [weak, weakLink = std::weak_ptr<TDPLink>(link), deadline](asio::error_code ec) {
            auto self = weak.lock();
            auto link = weakLink.lock();
            if (ec || !self || !link) return;
            auto it = self->pendingLinks_.find(link.get());
            if (it == self->pendingLinks_.end() || it->second != link) return;
            self->pendingLinks_.erase(it);
            link->Close(TLinkEnd::Timeout);
        });
}

void TDPRoom::OnCreatePlayerRequest(const std::shared_ptr<TDPLink>& link,
                                    const proto::TCreatePlayer& m) {
    uint32_t seq = ownSeq_;
    for (auto& [id, member] : members_)
        seq = std::max(seq, member.Info.Seq);
    proto::TMemberInfo info{NewId(), seq + 1, Ipv4Of(link->RemoteAddress()), m.ListenPort, m.Name};
    proto::TWelcome welcome{info.Id, info.Seq, {}};
    welcome.Members.push_back({ownId_, ownSeq_, 0, service_.MemberPort(), ownName_});
    for (auto& [id, member] : members_)
        welcome.Members.push_back(member.Info);
    link->Send(proto::EncodeWelcome(welcome));
    AddMember(info, link, true);
    WatchMember(info.Id, link);
}

void TDPRoom::AcceptPeer(const std::shared_ptr<TDPLink>& link, const proto::TPeerHello& hello) {
    const uint32_t from = hello.From.Id;
    if (left_ || !ownId_ || hello.TargetId != ownId_ || from == 0 || from == ownId_ ||
        members_.count(from)) {
        link->Close(TLinkEnd::Local);
        return;
    }
    proto::TMemberInfo info = hello.From;
    info.Ipv4 = Ipv4Of(link->RemoteAddress());
    link->Send(proto::EncodeEmpty(proto::PEER_ACCEPT));
    AddMember(info, link, true);
    WatchMember(from, link);
}

std::vector<TDPRoom::TPlayer> TDPRoom::Players() const {
    std::vector<TPlayer> players;
    for (auto& [id, member] : members_)
        if (queue_.Announced(id)) players.push_back({id, member.Info.Name});
    return players;
}

HRESULT TDPRoom::Send(uint32_t from, uint32_t to, const proto::TFrame& frame) {
    if (!ownId_ || from != ownId_) return DPERR_INVALIDPLAYER;
    if (to == ownId_) {
        asio::post(service_.Io(), [self = shared_from_this(), frame] {
            if (!self->left_)
                self->Push(self->ownId_, std::vector<uint8_t>(frame->begin() + 5, frame->end()));
        });
        return DP_OK;
    }
    // Written from the caller's thread when the link is idle: no hand-over.
    std::lock_guard lock(linksMutex_);
    if (to == DPID_ALLPLAYERS) {
        for (auto& [id, link] : sendLinks_)
            link->Send(frame);
        return DP_OK;
    }
    auto it = sendLinks_.find(to);
    if (it == sendLinks_.end()) return DPERR_INVALIDPLAYER;
    it->second->Send(frame);
    return DP_OK;
}

void TDPRoom::Leave() {
    if (left_) return;
    left_ = true;
    // Queued blocks still go out; the end of the stream tells the others we left.
    for (auto& [id, member] : members_)
        member.Link->CloseAfterSend();
    for (auto& [raw, link] : pendingLinks_)
        link->Close();
    if (hostLink_) hostLink_->CloseAfterSend();
    members_.clear();
    {
        std::lock_guard lock(linksMutex_);
        sendLinks_.clear();
    }
    pendingLinks_.clear();
    hostLink_.reset();
    if (ownId_) service_.RemoveMember(info_.Instance, ownId_);
    if (isHost_) {
        service_.RemoveHostedRoom(info_.Instance, this);
        service_.Directory(directoryPort_).RemoveLocal(this);
    }
    FinishCreate(DPERR_CONNECTIONLOST);
}

} // namespace dplay
