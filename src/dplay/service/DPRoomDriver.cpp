#include "dplay/service/DPRoomDriver.h"

#include "dplay/directory/DPDirectory.h"
#include "dplay/service/DPService.h"

#include <chrono>
#include <cstring>
#include <random>

namespace dplay {
namespace {

constexpr int kTickMs = 250;
// Delivered and not yet taken by the owner, before the links stop reading.
constexpr size_t kMaxQueuedBytes = 32u << 20;

uint64_t Seed() {
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device();
}

TCoreLinkEnd CoreEnd(TLinkEnd why) {
    switch (why) {
    case TLinkEnd::Timeout:
        return TCoreLinkEnd::Timeout;
    case TLinkEnd::Violation:
        return TCoreLinkEnd::Violation;
    default:
        return TCoreLinkEnd::Closed;
    }
}

} // namespace

TDPRoomDriver::TDPRoomDriver(TDPService& service, uint16_t directoryPort)
    : service_(service), directoryPort_(directoryPort), core_(Seed()), tick_(service.Io()) {
    if (service.Tls()) core_.SetOwnKey(service.Tls()->OwnKey());
}

proto2::TKeyId TDPRoomDriver::HostKey() {
    std::lock_guard lock(coreMutex_);
    return core_.HostKey();
}

TDPRoomDriver::~TDPRoomDriver() = default;

int64_t TDPRoomDriver::Now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TDPRoomDriver::Create(const proto::TRoomInfo& info, TDone done) {
    std::lock_guard lock(coreMutex_);
    info_ = listed_ = info;
    instance_ = info.Instance;
    openDone_ = std::move(done);
    service_.AddDriver(weak_from_this());
    core_.Create(Now(), info);
    Apply();
    StartTick();
}

void TDPRoomDriver::Join(const asio::ip::address& host, uint16_t port, const TGuid& application,
                         const TGuid& instance, std::optional<proto2::TKeyId> hostKey, TDone done) {
    std::lock_guard lock(coreMutex_);
    info_.Application = application;
    info_.Instance = instance_ = instance;
    openDone_ = std::move(done);
    expectedHostKey_ = hostKey;
    service_.AddDriver(weak_from_this());
    core_.Join(Now(), ToNet(host), port, application, instance);
    auto actions = core_.TakeActions();
    for (const auto& a : actions)
        if (a.Kind == TCoreAction::Dial) hostLink_ = a.Link;
    for (const auto& a : actions)
        Run(a);
    Refresh();
    StartTick();
}

void TDPRoomDriver::CreatePlayer(const std::string& name, std::shared_ptr<TDPEvent> event,
                                 TDone done) {
    std::lock_guard lock(coreMutex_);
    if (createDone_) return done(DPERR_CANTCREATEPLAYER, 0);
    {
        std::lock_guard guard(eventMutex_);
        event_ = std::move(event);
    }
    createDone_ = std::move(done);
    core_.CreatePlayer(Now(), name, service_.MemberPort());
    Apply();
}

void TDPRoomDriver::Leave(std::function<void(bool)> sent) {
    std::lock_guard lock(coreMutex_);
    if (left_) {
        if (sent) sent(true);
        return;
    }
    std::vector<std::shared_ptr<TDPLink>> letGo;
    letGo_ = &letGo;
    core_.Leave(Now());
    Apply();
    letGo_ = nullptr;
    left_ = true;
    tick_.cancel();
    for (auto& [id, timer] : timers_)
        timer->cancel();
    timers_.clear();
    // What the core did not close (links still connecting) goes too.
    for (auto& [id, slot] : slots_)
        if (slot.Link) slot.Link->CloseAfterSend();
    slots_.clear();
    if (sent) {
        // Each link ends by itself: delivered, broken, or its peer took
        // nothing for the bound.
        struct TLeft {
            size_t Open;
            std::function<void(bool)> Sent;
        };
        auto left = std::make_shared<TLeft>(TLeft{letGo.size() + 1, std::move(sent)});
        auto closed = [left](bool delivered) {
            if (!left->Sent) return;
            if (!delivered || --left->Open == 0) std::exchange(left->Sent, nullptr)(delivered);
        };
        for (auto& link : letGo)
            link->WhenClosed([closed, l = link.get()] { closed(l->Delivered()); });
        closed(true);
    }
    if (inDirectory_) service_.Directory(directoryPort_).RemoveLocal(this);
    inDirectory_ = false;
    if (openDone_) std::exchange(openDone_, nullptr)(DPERR_CONNECTIONLOST, 0);
    if (createDone_) std::exchange(createDone_, nullptr)(DPERR_CONNECTIONLOST, 0);
}

std::vector<TDPRoomDriver::TPlayer> TDPRoomDriver::Players() const {
    std::lock_guard lock(coreMutex_);
    std::vector<TPlayer> players;
    for (auto& p : core_.Players())
        if (queue_.Announced(p.Id)) players.push_back({p.Id, p.Name});
    return players;
}

HRESULT TDPRoomDriver::Send(uint32_t from, uint32_t to, const void* data, uint32_t size) {
    std::lock_guard lock(coreMutex_);
    if (left_ || !ownId_ || from != ownId_) return DPERR_INVALIDPLAYER;
    auto result = core_.Send(Now(), to, static_cast<const uint8_t*>(data), size);
    auto actions = core_.TakeActions();
    // Writes and deliveries are safe from any thread; anything else (a
    // freeze noticed here ends links, sets timers) runs on the I/O thread,
    // and so does everything queued with it, to keep the order.
    bool inline_ = true;
    for (auto& a : actions)
        if (a.Kind != TCoreAction::Send && a.Kind != TCoreAction::Deliver) inline_ = false;
    if (inline_) {
        for (auto& a : actions)
            Run(a);
    } else {
        asio::post(service_.Io(), [weak = weak_from_this(), actions = std::move(actions)] {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->coreMutex_);
            for (auto& a : actions)
                self->Run(a);
        });
    }
    switch (result) {
    case TRoomCore::SendOk:
        return DP_OK;
    case TRoomCore::SendTooLarge:
        return DPERR_SENDTOOBIG;
    case TRoomCore::SendNoPlayer:
    case TRoomCore::SendNotInRoom:
        return DPERR_INVALIDPLAYER;
    case TRoomCore::SendFull:
        return DPERR_BUSY; // a peer does not take what it was sent: nothing went
    }
    return DPERR_GENERIC;
}

HRESULT TDPRoomDriver::Receive(DPID* from, DPID* to, void* data, uint32_t* size) {
    size_t held = 0;
    HRESULT hr = queue_.Take(from, data, size, &held);
    if (hr != DP_OK) return hr;
    if (to) *to = ownId_;
    std::lock_guard lock(pauseMutex_);
    if (paused_ && held < kMaxQueuedBytes / 2) {
        paused_ = false;
        asio::post(service_.Io(), [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->FollowPause();
        });
    }
    return hr;
}

void TDPRoomDriver::Deliver(DPID from, std::vector<uint8_t> bytes, uint32_t announces) {
    const size_t held = queue_.Push(from, std::move(bytes), announces);
    {
        std::lock_guard lock(pauseMutex_);
        if (held > kMaxQueuedBytes && !paused_) {
            paused_ = true;
            // Deliveries of a local send come on the sender's thread.
            asio::post(service_.Io(), [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->FollowPause();
            });
        }
    }
    std::lock_guard guard(eventMutex_);
    if (event_) event_->Set();
}

void TDPRoomDriver::FollowPause() {
    std::lock_guard lock(coreMutex_);
    bool reading;
    {
        // Only the latest word counts: a pause and a resume may be posted close together.
        std::lock_guard guard(pauseMutex_);
        reading = !paused_;
    }
    if (left_ || linksPaused_ == !reading) return;
    linksPaused_ = !reading;
    for (auto& [id, slot] : slots_) {
        if (!slot.Link) continue;
        if (reading)
            slot.Link->Resume();
        else
            slot.Link->Pause();
    }
    core_.SetReading(Now(), reading);
    Apply();
}

void TDPRoomDriver::Accept(const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t* body,
                           size_t size) {
    std::lock_guard lock(coreMutex_);
    if (left_) {
        link->Close();
        return;
    }
    TLinkId id = ++nextAccepted_; // the top bit stays clear: ids of the core's dials have it set
    Adopt(id, link);
    if (type == proto2::JOIN_REQUEST) joinsWaiting_.insert(link.get());
    const auto remote = link->RemoteAddress();
    core_.OnLinkAccepted(Now(), id, ToNet(remote), type, body, size,
                         link->PeerKey().value_or(proto2::TKeyId{}));
    Apply();
}

void TDPRoomDriver::Adopt(TLinkId id, const std::shared_ptr<TDPLink>& link) {
    TSlot& slot = slots_[id];
    slot.Link = link;
    link->HandOverKeepalive(proto2::kMaxFrame);
    // A peer that does not read is removed (by the host) or cut off (by a
    // member): either way it reads why before the end of the stream.
    link->SetLastWords(proto2::EncodeEmpty(proto2::REMOVED));
    if (linksPaused_) link->Pause();
    std::weak_ptr<TDPRoomDriver> weak = weak_from_this();
    TDPLink* raw = link.get();
    link->SetHandlers(
        [weak, id, raw](uint8_t type, const uint8_t* body, size_t size) {
            auto self = weak.lock();
            if (!self) return false;
            std::lock_guard lock(self->coreMutex_);
            if (type != proto2::PING) self->joinsWaiting_.erase(raw);
            self->core_.OnFrame(Now(), id, type, body, size);
            self->Apply();
            return true;
        },
        [weak, id, raw](TLinkEnd why) {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->coreMutex_);
            self->joinsWaiting_.erase(raw);
            self->Ended(id, CoreEnd(why));
        });
    for (auto& frame : slot.Pending)
        link->Send(std::move(frame));
    slot.Pending.clear();
}

void TDPRoomDriver::Ended(TLinkId id, TCoreLinkEnd why) {
    if (!slots_.erase(id) || left_) return;
    core_.OnLinkEnded(Now(), id, why);
    Apply();
}

void TDPRoomDriver::DialFor(const TCoreAction& a) {
    slots_[a.Link];
    std::weak_ptr<TDPRoomDriver> weak = weak_from_this();
    const TLinkId id = a.Link;
    asio::ip::tcp::endpoint endpoint(ToAsio(a.Address), a.Port);
    auto ready = [weak, id](const std::shared_ptr<TDPLink>& link) {
        auto self = weak.lock();
        if (!self) return link->Close();
        std::lock_guard lock(self->coreMutex_);
        auto it = self->slots_.find(id);
        if (self->left_ || it == self->slots_.end()) return link->CloseAfterSend();
        // Not the host that listed the room: the core sees a join that failed.
        if (id == self->hostLink_ && self->expectedHostKey_ &&
            link->PeerKey() != self->expectedHostKey_) {
            self->hostSwitched_ = true;
            return link->Close(TLinkEnd::Violation);
        }
        self->Adopt(id, link);
        self->core_.OnLinkUp(Now(), id, link->PeerKey().value_or(proto2::TKeyId{}));
        self->Apply();
    };
    // The answer arrives before the link's own handlers are set: it goes
    // the same way as every later frame.
    auto answer = [weak, id](const std::shared_ptr<TDPLink>& link, uint8_t type,
                             const uint8_t* body, size_t size) {
        auto self = weak.lock();
        if (!self) return false;
        std::lock_guard lock(self->coreMutex_);
        if (!self->slots_.count(id)) return true;
        self->core_.OnFrame(Now(), id, type, body, size);
        self->Apply();
        return link->IsOpen();
    };
    auto end = [weak, id](TLinkEnd why) {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->coreMutex_);
        auto it = self->slots_.find(id);
        if (it == self->slots_.end()) return;
        self->Ended(id, it->second.Link ? CoreEnd(why) : TCoreLinkEnd::Failed);
    };
    service_.Dial(endpoint, info_.Application, a.Frame, answer, end, ready);
}

void TDPRoomDriver::Apply() {
    for (auto& a : core_.TakeActions())
        Run(a);
    Refresh();
}

void TDPRoomDriver::Run(const TCoreAction& a) {
    switch (a.Kind) {
    case TCoreAction::Dial:
        if (!left_) DialFor(a);
        break;
    case TCoreAction::Send: {
        auto it = slots_.find(a.Link);
        if (it == slots_.end()) break;
        if (it->second.Link)
            it->second.Link->Send(a.Frame);
        else
            it->second.Pending.push_back(a.Frame);
        break;
    }
    case TCoreAction::Close: {
        auto it = slots_.find(a.Link);
        if (it == slots_.end()) break;
        auto link = it->second.Link;
        slots_.erase(it);
        if (!link) break; // still connecting: it is closed when it connects
        joinsWaiting_.erase(link.get());
        if (a.Frame) link->Send(a.Frame);
        if (letGo_) {
            // What we sent before leaving still goes to a member that reads
            // slowly, for as long as the room waits for a member that takes
            // nothing.
            letGo_->push_back(link);
            link->CloseAfterSend(static_cast<int>(room::kAckTimeoutMs));
        } else {
            link->CloseAfterSend();
        }
        break;
    }
    case TCoreAction::Deliver:
        Deliver(a.From, a.Bytes, a.Announces);
        break;
    case TCoreAction::SetTimer: {
        if (left_) break;
        auto timer = std::make_unique<asio::steady_timer>(service_.Io());
        timer->expires_after(std::chrono::milliseconds(a.DelayMs));
        timer->async_wait([weak = weak_from_this(), id = a.Timer](asio::error_code ec) {
            auto self = weak.lock();
            if (ec || !self) return;
            std::lock_guard lock(self->coreMutex_);
            if (!self->timers_.erase(id) || self->left_) return;
            self->core_.OnTimer(Now(), id);
            self->Apply();
        });
        timers_[a.Timer] = std::move(timer);
        break;
    }
    case TCoreAction::CancelTimer:
        if (auto it = timers_.find(a.Timer); it != timers_.end()) {
            it->second->cancel();
            timers_.erase(it);
        }
        break;
    case TCoreAction::List: {
        listed_ = a.Room;
        TDPDirectory& directory = service_.Directory(directoryPort_);
        if (!inDirectory_)
            directory.AddLocal(shared_from_this());
        else
            directory.LocalChanged(this);
        inDirectory_ = true;
        break;
    }
    case TCoreAction::Unlist:
        if (inDirectory_) service_.Directory(directoryPort_).RemoveLocal(this);
        inDirectory_ = false;
        break;
    case TCoreAction::Finish: {
        TDone& done = a.Call == TCoreAction::Open ? openDone_ : createDone_;
        const HRESULT result = a.Call == TCoreAction::Open && hostSwitched_ && Failed(a.Result)
                                   ? DPERR_HOSTSWITCHED
                                   : a.Result;
        if (done) std::exchange(done, nullptr)(result, a.Id);
        break;
    }
    }
}

void TDPRoomDriver::Refresh() {
    ownId_ = core_.OwnId();
    isHost_ = core_.IsHost();
}

void TDPRoomDriver::StartTick() {
    tick_.expires_after(std::chrono::milliseconds(kTickMs));
    tick_.async_wait([weak = weak_from_this()](asio::error_code ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        std::lock_guard lock(self->coreMutex_);
        if (self->left_) return;
        self->core_.OnTick(Now());
        self->Apply();
        self->StartTick();
    });
}

} // namespace dplay
