#include "dplay/directory/DPDirectory.h"

#include "dplay/service/DPService.h"

namespace dplay {

namespace {
constexpr int kRetryMs = 200;
}

TDPDirectory::TDPDirectory(TDPService& service, uint16_t port)
    : service_(service), port_(port), acceptor_(service.Io()), backoff_(service.Io()),
      retry_(service.Io()) {}

TDPDirectory::~TDPDirectory() = default;

void TDPDirectory::Shutdown() {
    shutdown_ = true;
    asio::error_code ec;
    acceptor_.close(ec);
    backoff_.cancel();
    retry_.cancel();
    if (ownerLink_) ownerLink_->Close();
    for (auto& link : registrants_)
        link->Close();
    registrants_.clear();
    for (auto& done : waiting_)
        done(false);
    waiting_.clear();
}

void TDPDirectory::Ensure(std::function<void(bool)> done) {
    if (Ready()) {
        done(true);
        return;
    }
    waiting_.push_back(std::move(done));
    if (connecting_) return;
    if (TryBind()) return;
    Register();
}

bool TDPDirectory::TryBind() {
    if (asio::error_code ec = service_.Listen(acceptor_, port_, true)) {
        bindError_ = ec.message();
        return false;
    }
    state_ = State::Owner;
    failure_.clear();
    Accept();
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& done : waiting)
        done(true);
    return true;
}

void TDPDirectory::Accept() {
    service_.AcceptOn(acceptor_, backoff_, port_);
}

void TDPDirectory::Register() {
    connecting_ = true;
    asio::ip::tcp::endpoint owner(service_.LocalAddress(), port_);
    service_.Dial(
        owner, TGuid{}, proto::EncodeEmpty(proto::REGISTER),
        [](const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t* body, size_t size) {
            if (type == proto::PING && proto::DecodeEmpty(body, size)) return true;
            link->Close(TLinkEnd::Violation);
            return false;
        },
        [this](TLinkEnd why) {
            if (shutdown_) return;
            // Owner gone (or never reached): take the port, or find the new owner.
            connecting_ = false;
            bool wasRegistered = state_ == State::Registrant;
            if (!wasRegistered) {
                // The port is taken and what holds it did not take us in.
                const char* cause = why == TLinkEnd::PeerGone
                                        ? "it refused the registration or closed the connection"
                                    : why == TLinkEnd::Timeout ? "it did not answer in time"
                                                               : "it does not answer as Parlora";
                failure_ = "TCP port " + std::to_string(port_) + " is held by another program (" +
                           bindError_ + "); " + cause + ".";
            }
            state_ = State::Unbound;
            ownerLink_.reset();
            if (TryBind()) return;
            if (!wasRegistered) {
                auto waiting = std::move(waiting_);
                waiting_.clear();
                for (auto& done : waiting)
                    done(false);
            }
            RetryLater();
        },
        // Registered once the owner's first frame (a PING) follows its HELLO:
        // an owner that refuses closes the link instead.
        [this](const std::shared_ptr<TDPLink>& link) {
            if (shutdown_) return;
            connecting_ = false;
            failure_.clear();
            state_ = State::Registrant;
            ownerLink_ = link;
            for (auto& e : entries_)
                if (auto room = e.Local.lock()) SendLocal(*room);
            auto waiting = std::move(waiting_);
            waiting_.clear();
            for (auto& done : waiting)
                done(true);
        },
        true);
}

void TDPDirectory::RetryLater() {
    bool anyLocal = false;
    for (auto& e : entries_)
        if (!e.Local.expired()) anyLocal = true;
    if (!anyLocal && waiting_.empty()) return;
    retry_.expires_after(std::chrono::milliseconds(kRetryMs));
    retry_.async_wait([this](asio::error_code ec) {
        if (ec || shutdown_ || Ready() || connecting_) return;
        if (!TryBind()) Register();
    });
}

void TDPDirectory::AddLocal(const std::shared_ptr<TDPListedRoom>& room) {
    for (auto& e : entries_)
        if (e.Local.lock() == room) return;
    entries_.push_back(Entry{room, nullptr, room->CurrentInfo()});
    if (state_ == State::Registrant) SendLocal(*room);
    if (state_ == State::Unbound && !connecting_) Ensure([](bool) {});
}

void TDPDirectory::RemoveLocal(const TDPListedRoom* room) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        auto local = it->Local.lock();
        if (!it->Registrant && (!local || local.get() == room))
            it = entries_.erase(it);
        else
            ++it;
    }
    if (state_ == State::Registrant && ownerLink_)
        ownerLink_->Send(proto::EncodeRoomRemove(room->Info().Instance));
}

void TDPDirectory::LocalChanged(const TDPListedRoom* room) {
    if (state_ == State::Registrant) SendLocal(*room);
}

void TDPDirectory::SendLocal(const TDPListedRoom& room) {
    if (!ownerLink_) return;
    proto::TRoomInfo info = room.CurrentInfo();
    info.Port = service_.MemberPort();
    ownerLink_->Send(proto::EncodeRoomAdd(info));
}

void TDPDirectory::AcceptRegistrant(const std::shared_ptr<TDPLink>& link) {
    registrants_.push_back(link);
    link->Send(proto::EncodeEmpty(proto::PING)); // taken in: the registrant may go on
    TDPLink* key = link.get();
    link->SetHandlers(
        [this, key](uint8_t type, const uint8_t* body, size_t size) {
            auto violation = [&] {
                // Close from outside the handler's own frame loop is fine: Close is idempotent.
                for (auto& l : registrants_)
                    if (l.get() == key) l->Close(TLinkEnd::Violation);
                return false;
            };
            switch (type) {
            case proto::PING:
                return proto::DecodeEmpty(body, size) || violation();
            case proto::ROOM_ADD: {
                auto info = proto::DecodeRoomAdd(body, size);
                if (!info || info->Port == 0) return violation();
                for (auto& e : entries_)
                    if (e.Registrant == key && e.Info.Instance == info->Instance) {
                        e.Info = *info;
                        return true;
                    }
                if (entries_.size() >= proto::kMaxListed) return violation();
                entries_.push_back(Entry{{}, key, *info});
                return true;
            }
            case proto::ROOM_REMOVE: {
                auto instance = proto::DecodeRoomRemove(body, size);
                if (!instance) return violation();
                entries_.remove_if([&](const Entry& e) {
                    return e.Registrant == key && e.Info.Instance == *instance;
                });
                return true;
            }
            default:
                return violation();
            }
        },
        [this, key](TLinkEnd) {
            // That process ended (or broke the rules): its rooms go with it.
            entries_.remove_if([&](const Entry& e) { return e.Registrant == key; });
            std::erase_if(registrants_, [&](const auto& l) { return l.get() == key; });
        });
}

std::vector<proto::TRoomInfo> TDPDirectory::List(const TGuid& application) const {
    std::vector<proto::TRoomInfo> rooms;
    for (const auto& e : entries_) {
        proto::TRoomInfo info = e.Info;
        if (!e.Registrant) {
            auto room = e.Local.lock();
            if (!room) continue;
            info = room->CurrentInfo();
            info.Port = 0; // this process answers on the port asked
        }
        if (info.Application == application) rooms.push_back(std::move(info));
    }
    return rooms;
}

} // namespace dplay
