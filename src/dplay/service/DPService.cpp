#include "dplay/service/DPService.h"

#include "dplay/core/DPRoomCore.h"
#include "dplay/directory/DPDirectory.h"
#include "dplay/links/DPOnce.h"
#include "dplay/service/DPRoomDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace dplay {
namespace {

// Bounds on what a flood can make us hold: strangers in the handshake and
// enumerations cost descriptors and memory before anyone is admitted, so a
// few sources must not take them all.
constexpr size_t kMaxHandshaking = 64;
constexpr size_t kMaxHandshakingPerSource = 16;
constexpr size_t kMaxEnumerating = 64;
constexpr size_t kMaxEnumeratingPerSource = 8;
constexpr int kEnumerationDrainMs = 2000;
constexpr size_t kMaxJoinsWaiting = 64;
// As many from one source as a room leaves pending: friends behind one
// router entering at once must not close each other's joins.
constexpr size_t kMaxJoinsWaitingPerSource = room::kMaxPendingJoinsPerAddress;
// Pause after a failed accept (no descriptor left): trying again at once would spin.
constexpr int kAcceptBackoffMs = 250;
// Time the end of the service gives its links to write out what they hold.
constexpr int kFlushOnEndMs = 2000;

asio::ip::address ListenAddressFromEnvironment() {
    if (const char* text = std::getenv("PARLORA_LISTEN_ADDR"); text && *text) {
        asio::error_code ec;
        auto address = asio::ip::make_address(text, ec);
        if (!ec) return Plain(address);
    }
    return asio::ip::address_v4::any();
}

// Between the start of two attempts at a name's addresses: a family that
// does not reach the peer costs this, not a connect timeout.
constexpr int kNextAttemptMs = 250;

// One DialFirst: its attempts, the timer that starts the next, the winner.
struct TDialRace : std::enable_shared_from_this<TDialRace> {
    TDialRace(TDPService& service, std::vector<asio::ip::tcp::endpoint> endpoints,
              const TGuid& application, proto::TFrame request, TDPService::DialFrameHandler onFrame,
              std::function<void(TLinkEnd)> onEnd)
        : Service(service), Endpoints(std::move(endpoints)), Application(application),
          Request(std::move(request)), OnFrame(std::move(onFrame)), OnEnd(std::move(onEnd)),
          Timer(service.Io()) {}

    void StartNext() {
        if (won_ || next_ >= Endpoints.size()) return;
        auto self = shared_from_this();
        auto winner = std::make_shared<bool>(false); // this attempt won
        const size_t index = next_++;
        ++running_;
        Service.Dial(
            Endpoints[index], Application, Request,
            [self, winner](const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t* body,
                           size_t size) {
                return *winner && self->OnFrame(link, type, body, size);
            },
            [self, winner](TLinkEnd why) { self->Ended(*winner, why); },
            [self, winner](const std::shared_ptr<TDPLink>& link) {
                if (self->won_) return link->Close();
                self->won_ = *winner = true;
                self->Timer.cancel();
            });
        if (next_ < Endpoints.size()) {
            Timer.expires_after(std::chrono::milliseconds(kNextAttemptMs));
            Timer.async_wait([self](asio::error_code ec) {
                if (!ec) self->StartNext();
            });
        }
    }

    void Ended(bool winner, TLinkEnd why) {
        --running_;
        if (winner) return OnEnd(why);
        if (won_) return; // a late attempt, closed
        if (next_ < Endpoints.size()) {
            Timer.cancel();
            return StartNext();
        }
        if (running_ == 0) OnEnd(why);
    }

    TDPService& Service;
    const std::vector<asio::ip::tcp::endpoint> Endpoints;
    const TGuid Application;
    const proto::TFrame Request;
    const TDPService::DialFrameHandler OnFrame;
    const std::function<void(TLinkEnd)> OnEnd;
    asio::steady_timer Timer;

  private:
    size_t next_ = 0, running_ = 0;
    bool won_ = false;
};

} // namespace

std::shared_ptr<TDPService> TDPService::Acquire() {
    static std::mutex mutex;
    static std::weak_ptr<TDPService> current;
    std::lock_guard lock(mutex);
    auto service = current.lock();
    if (!service) {
        service.reset(new TDPService);
        current = service;
    }
    return service;
}

TDPService::TDPService()
    : work_(asio::make_work_guard(io_)), listenAddress_(ListenAddressFromEnvironment()),
      memberAcceptor_(io_), memberBackoff_(io_),
      handshakes_(kMaxHandshaking, kMaxHandshakingPerSource),
      enumerations_(kMaxEnumerating, kMaxEnumeratingPerSource),
      joins_(kMaxJoinsWaiting, kMaxJoinsWaitingPerSource) {
    if (!PlainLinksForBenchmark()) {
        tls_ = TDPTls::ForUser();
        if (!tls_) throw std::runtime_error("no key can be made for encrypted links");
        if (!tls_->NoticeEnglish().empty())
            std::fprintf(stderr, "parlora session service: %s\n", tls_->NoticeEnglish().c_str());
    }
    if (asio::error_code ec = Listen(memberAcceptor_, 0, false)) throw asio::system_error(ec);
    memberPort_ = memberAcceptor_.local_endpoint().port();
    thread_ = std::thread([this] {
        // Nothing a handler throws may end the thread: every room of the
        // process lives on it.
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "parlora session service: %s\n", e.what());
            }
        }
    });
    asio::post(io_, [this] { AcceptOn(memberAcceptor_, memberBackoff_, 0); });
}

TDPService::~TDPService() {
    auto flushed = std::make_shared<TDPOnce<bool>>();
    RunSync([this, flushed] {
        asio::error_code ec;
        memberAcceptor_.close(ec);
        memberBackoff_.cancel();
        for (auto& [port, directory] : directories_)
            directory->Shutdown();
        // Frames a member sent just before leaving are still queued: they go
        // out before the thread stops, unless a peer holds them up too long.
        std::vector<std::shared_ptr<TDPLink>> open;
        for (auto& weak : links_)
            if (auto link = weak.lock(); link && link->IsOpen()) open.push_back(link);
        auto left = std::make_shared<size_t>(open.size() + 1);
        auto closed = [left, flushed] {
            if (--*left == 0) flushed->Set(true);
        };
        for (auto& link : open)
            link->WhenClosed(closed);
        for (auto& link : open)
            link->CloseAfterSend();
        closed();
        return 0;
    });
    flushed->Wait(kFlushOnEndMs);
    work_.reset();
    io_.stop();
    thread_.join();
    directories_.clear();
}

asio::ssl::context* TDPService::LinkContext() {
    return tls_ ? &tls_->Context() : nullptr;
}

asio::ip::address TDPService::LocalAddress() const {
    if (listenAddress_.is_unspecified()) return asio::ip::address_v4::loopback();
    return listenAddress_;
}

TDPDirectory& TDPService::Directory(uint16_t port) {
    auto& slot = directories_[port];
    if (!slot) slot = std::make_unique<TDPDirectory>(*this, port);
    return *slot;
}

void TDPService::AddDriver(std::weak_ptr<TDPRoomDriver> driver) {
    std::erase_if(drivers_, [](const std::weak_ptr<TDPRoomDriver>& d) { return d.expired(); });
    drivers_.push_back(std::move(driver));
}

bool TDPService::ServeRoomRequest(const std::shared_ptr<TDPLink>& link, const TGuid& application,
                                  uint8_t type, const uint8_t* body, size_t size) {
    // The room's core checks the request itself; here it only finds its room:
    // JOIN_REQUEST by instance (its host first), PEER_HELLO by instance and target.
    std::shared_ptr<TDPRoomDriver> target;
    if (type == proto2::JOIN_REQUEST) {
        auto instance = proto::DecodeJoinRequest(body, size);
        if (!instance) {
            link->Close(TLinkEnd::Violation);
            return false;
        }
        for (auto& weak : drivers_) {
            auto driver = weak.lock();
            if (!driver || driver->Instance() != *instance ||
                driver->Info().Application != application)
                continue;
            if (!target || driver->IsHost()) target = driver;
        }
        if (!target || !target->IsHost()) {
            link->Established();
            link->Send(proto::EncodeJoinRefuse(DPERR_NOSESSIONS));
            link->CloseAfterSend();
            return true;
        }
        std::weak_ptr<TDPRoomDriver> weakDriver = target;
        std::weak_ptr<TDPLink> weakLink = link;
        joins_.Add(link, [weakDriver, weakLink] {
            auto driver = weakDriver.lock();
            auto link = weakLink.lock();
            return driver && link && driver->JoinWaiting(link.get());
        });
    } else {
        auto hello = proto2::DecodePeerHello(body, size);
        if (!hello) {
            link->Close(TLinkEnd::Violation);
            return false;
        }
        for (auto& weak : drivers_) {
            auto driver = weak.lock();
            if (driver && driver->Instance() == hello->Instance &&
                driver->Info().Application == application && driver->OwnId() == hello->TargetId)
                target = driver;
        }
        if (!target) {
            link->Close(TLinkEnd::Local);
            return false;
        }
    }
    target->Accept(link, type, body, size);
    return link->IsOpen();
}

void TDPService::Track(const std::shared_ptr<TDPLink>& link) {
    std::erase_if(links_, [](const std::weak_ptr<TDPLink>& l) { return l.expired(); });
    links_.push_back(link);
}

asio::error_code TDPService::Listen(asio::ip::tcp::acceptor& acceptor, uint16_t port,
                                    bool reuseAddress) {
    asio::error_code ec;
    auto open = [&](const asio::ip::tcp::endpoint& endpoint, bool dualStack) {
        acceptor.open(endpoint.protocol(), ec);
        if (!ec && dualStack) acceptor.set_option(asio::ip::v6_only(false), ec);
        if (!ec && reuseAddress)
            acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            asio::error_code ignored;
            acceptor.close(ignored);
        }
    };
    if (listenAddress_.is_unspecified()) {
        // Every interface of both families on one socket; a kernel without
        // IPv6 still serves IPv4.
        open(asio::ip::tcp::endpoint(asio::ip::address_v6::any(), port), true);
        if (ec == asio::error::address_family_not_supported || ec == asio::error::invalid_argument)
            open(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), port), false);
        return ec;
    }
    open(asio::ip::tcp::endpoint(listenAddress_, port), false);
    return ec;
}

asio::ip::tcp::socket TDPService::NewSocket(const asio::ip::tcp& protocol) {
    asio::ip::tcp::socket socket(io_);
    asio::error_code ec;
    socket.open(protocol, ec);
    if (ec) return socket; // no descriptor left, or no such family: the caller sees it closed
    if (!listenAddress_.is_unspecified() &&
        (listenAddress_.is_v4() == (protocol == asio::ip::tcp::v4()))) {
        // Others must see us at our listen address (tests give each member its own).
        socket.bind(asio::ip::tcp::endpoint(listenAddress_, 0), ec);
    }
    return socket;
}

void TDPService::AcceptOn(asio::ip::tcp::acceptor& acceptor, asio::steady_timer& backoff,
                          uint16_t directoryPort) {
    acceptor.async_accept([this, &acceptor, &backoff, directoryPort](asio::error_code ec,
                                                                     asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) {
            Serve(std::move(socket), directoryPort);
            AcceptOn(acceptor, backoff, directoryPort);
            return;
        }
        // The connection stays in the backlog; it is taken when a descriptor is free.
        backoff.expires_after(std::chrono::milliseconds(kAcceptBackoffMs));
        backoff.async_wait([this, &acceptor, &backoff, directoryPort](asio::error_code ec) {
            if (!ec && acceptor.is_open()) AcceptOn(acceptor, backoff, directoryPort);
        });
    });
}

void TDPService::Serve(asio::ip::tcp::socket socket, uint16_t directoryPort) {
    auto link = std::make_shared<TDPLink>(std::move(socket), LinkContext(), true);
    Track(link);
    auto pending = std::make_shared<bool>(true);
    // Honest peers finish their handshake in a round trip; when too many
    // hang in it, the oldest goes, so a flood cannot lock newcomers out.
    handshakes_.Add(link, [pending] { return *pending; });
    auto application = std::make_shared<std::optional<TGuid>>();
    std::weak_ptr<TDPLink> weak = link;
    link->Start(
        [this, weak, directoryPort, application, pending](uint8_t type, const uint8_t* body,
                                                          size_t size) {
            auto link = weak.lock();
            if (!link) return false;
            if (!application->has_value()) {
                auto hello = type == proto::HELLO ? proto::DecodeHello(body, size) : std::nullopt;
                if (!hello) {
                    *pending = false;
                    link->Close(TLinkEnd::Violation);
                    return false;
                }
                *application = hello->Application;
                link->Send(proto::EncodeHello(*hello));
                return true;
            }
            *pending = false;
            // The request decides who serves the link from now on.
            return ServeRequest(link, directoryPort, **application, type, body, size);
        },
        [pending](TLinkEnd) { *pending = false; });
}

bool TDPService::ServeRequest(const std::shared_ptr<TDPLink>& link, uint16_t directoryPort,
                              const TGuid& application, uint8_t type, const uint8_t* body,
                              size_t size) {
    auto violation = [&] {
        link->Close(TLinkEnd::Violation);
        return false;
    };
    link->SetHandlers([](uint8_t, const uint8_t*, size_t) { return false; }, nullptr);
    if (type == proto2::JOIN_REQUEST || type == proto2::PEER_HELLO)
        return ServeRoomRequest(link, application, type, body, size);
    switch (type) {
    case proto::ENUM_REQUEST: {
        if (!proto::DecodeEmpty(body, size)) return violation();
        std::vector<proto::TRoomInfo> rooms;
        if (directoryPort) rooms = Directory(directoryPort).List(application);
        link->Established();
        link->Send(proto::EncodeEnumReply(rooms));
        // Held until the enumerator closes, so that the reply is not lost
        // to a reset; an honest one closes as soon as it has read it.
        enumerations_.Add(link);
        link->CloseAfterSend(kEnumerationDrainMs);
        return true;
    }
    case proto::REGISTER: {
        // Only processes of this machine list rooms here: over loopback, or
        // from the machine's own address (a listen address that is not loopback).
        const auto from = link->RemoteAddress();
        if (!proto::DecodeEmpty(body, size) || !directoryPort ||
            !(from.is_loopback() || from == link->LocalAddress()))
            return violation();
        link->Established();
        Directory(directoryPort).AcceptRegistrant(link);
        return true;
    }
    default:
        return violation();
    }
}

void TDPService::Dial(const asio::ip::tcp::endpoint& endpoint, const TGuid& application,
                      proto::TFrame request, DialFrameHandler onFrame,
                      std::function<void(TLinkEnd)> onEnd,
                      std::function<void(const std::shared_ptr<TDPLink>&)> onReady,
                      bool pingAnswers) {
    const asio::ip::tcp::endpoint to(Plain(endpoint.address()), endpoint.port());
    auto socket = std::make_shared<asio::ip::tcp::socket>(NewSocket(to.protocol()));
    if (!socket->is_open()) {
        asio::post(io_, [onEnd] { onEnd(TLinkEnd::PeerGone); });
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_);
    timer->expires_after(std::chrono::milliseconds(proto::kHandshakeTimeoutMs));
    timer->async_wait([socket](asio::error_code ec) {
        if (!ec) {
            asio::error_code ignored;
            socket->close(ignored);
        }
    });
    socket->async_connect(to, [this, socket, timer, application, request, onFrame, onEnd, onReady,
                               pingAnswers](asio::error_code ec) mutable {
        timer->cancel();
        if (ec || !socket->is_open()) {
            onEnd(TLinkEnd::PeerGone);
            return;
        }
        auto link = std::make_shared<TDPLink>(std::move(*socket), LinkContext(), false);
        Track(link);
        enum class Stage { Hello, Answer, Open };
        auto stage = std::make_shared<Stage>(Stage::Hello);
        std::weak_ptr<TDPLink> weak = link;
        link->Start(
            [weak, stage, application, onFrame, onReady,
             pingAnswers](uint8_t type, const uint8_t* body, size_t size) {
                auto link = weak.lock();
                if (!link) return false;
                if (*stage == Stage::Hello) {
                    auto hello =
                        type == proto::HELLO ? proto::DecodeHello(body, size) : std::nullopt;
                    if (!hello || hello->Application != application) {
                        link->Close(TLinkEnd::Violation);
                        return false;
                    }
                    // The handshake deadline runs on until the request is answered.
                    *stage = Stage::Answer;
                    link->AllowFullFrames();
                    return true;
                }
                if (*stage == Stage::Answer) {
                    const bool ping = type == proto::PING && proto::DecodeEmpty(body, size);
                    if (ping && !pingAnswers) return true;
                    *stage = Stage::Open;
                    link->Established();
                    if (onReady) onReady(link);
                    if (ping || !link->IsOpen()) return link->IsOpen();
                }
                return onFrame(link, type, body, size);
            },
            onEnd);
        link->Send(proto::EncodeHello({application}));
        link->Send(std::move(request));
    });
}

void TDPService::DialFirst(std::vector<asio::ip::tcp::endpoint> endpoints, const TGuid& application,
                           proto::TFrame request, DialFrameHandler onFrame,
                           std::function<void(TLinkEnd)> onEnd) {
    if (endpoints.empty()) {
        asio::post(io_, [onEnd] { onEnd(TLinkEnd::PeerGone); });
        return;
    }
    std::make_shared<TDialRace>(*this, std::move(endpoints), application, std::move(request),
                                std::move(onFrame), std::move(onEnd))
        ->StartNext();
}

} // namespace dplay
