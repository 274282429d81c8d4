#include "dplay/api/DPDirectPlay.h"

#include <atomic>

#include "dplay/directory/DPDirectory.h"
#include "dplay/links/DPOnce.h"
#include "dplay/protocol/DPWireReader.h"
#include "dplay/service/DPRoomDriver.h"
#include "dplay/service/DPService.h"
#include "identity/KnownHosts.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace dplay {
namespace {

constexpr int kDefaultEnumTimeoutMs = 5000;
constexpr int kJoinTimeoutMs = 10000;

} // namespace

// Work handed to the I/O thread holds the service by plain pointer: the
// service outlives it (its destructor stops the thread first), and the last
// reference must never be dropped on the I/O thread itself.
TDPDirectPlay::TDPDirectPlay() : service_(TDPService::Acquire()) {}

TDPDirectPlay::~TDPDirectPlay() {
    Close();
}

HRESULT TDPDirectPlay::InitializeConnection(const void* address, uint32_t size, uint32_t) {
    if (initialized_) return DPERR_ALREADYINITIALIZED;
    if (!address) return DPERR_INVALIDPARAMS;
    TDPWireReader r(static_cast<const uint8_t*>(address), size);
    bool tcpip = false;
    std::string host;
    uint16_t port = 0;
    while (r.Ok() && !r.Done()) {
        TGuid kind = r.Guid();
        uint32_t n = r.U32();
        if (!r.Ok() || n > size) return DPERR_INVALIDPARAMS;
        std::string data(n, '\0');
        for (auto& c : data)
            c = static_cast<char>(r.U8());
        if (!r.Ok()) return DPERR_INVALIDPARAMS;
        if (kind == DPAID_ServiceProvider)
            tcpip = n == 16 && std::memcmp(data.data(), DPSPGUID_TCPIP.Bytes.data(), 16) == 0;
        else if (kind == DPAID_INet)
            host = data.substr(0, data.find('\0'));
        else if (kind == DPAID_INetPort && n == 2)
            port = static_cast<uint16_t>(uint8_t(data[0]) | uint8_t(data[1]) << 8);
    }
    if (!tcpip) return DPERR_INVALIDPARAMS; // the only provider we have
    host_ = host;
    port_ = port ? port : DPDEFAULT_PORT;
    initialized_ = true;
    return DP_OK;
}

HRESULT TDPDirectPlay::HostAddresses(std::vector<asio::ip::address>* addresses) const {
    addresses->clear();
    if (host_.empty()) {
        addresses->push_back(service_->LocalAddress());
        return DP_OK;
    }
    asio::error_code ec;
    if (auto literal = asio::ip::make_address(host_, ec); !ec) {
        addresses->push_back(Plain(literal));
        return DP_OK;
    }
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    auto results = resolver.resolve(host_, "", ec);
    if (ec) return DPERR_NOCONNECTION;
    // Both families, alternating and IPv6 first, as the resolver ranked each.
    std::vector<asio::ip::address> v6, v4;
    for (const auto& entry : results) {
        const auto a = Plain(entry.endpoint().address());
        auto& family = a.is_v6() ? v6 : v4;
        if (std::find(family.begin(), family.end(), a) == family.end()) family.push_back(a);
    }
    for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size()) addresses->push_back(v6[i]);
        if (i < v4.size()) addresses->push_back(v4[i]);
    }
    return addresses->empty() ? DPERR_NOCONNECTION : DP_OK;
}

HRESULT TDPDirectPlay::EnumSessions(const DPSESSIONDESC2& desc, uint32_t timeoutMs,
                                    const EnumSessionsCallback& callback, uint32_t) {
    lastError_.clear();
    if (!initialized_) return DPERR_UNINITIALIZED;
    std::vector<asio::ip::address> addresses;
    if (HRESULT hr = HostAddresses(&addresses); Failed(hr)) return hr;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    for (const auto& a : addresses)
        endpoints.emplace_back(a, port_);
    // The rooms, the address that answered (the join goes there) and the
    // key it showed (the join must meet the same).
    struct Listing {
        asio::ip::address Address;
        std::optional<proto2::TKeyId> Key;
        std::vector<proto::TRoomInfo> Rooms;
    };
    using Result = std::optional<Listing>;
    auto once = std::make_shared<TDPOnce<Result>>();
    auto insecure = std::make_shared<std::atomic<bool>>(false);
    asio::post(service_->Io(), [service = service_.get(), endpoints, desc, once, insecure] {
        service->DialFirst(
            endpoints, desc.guidApplication, proto::EncodeEmpty(proto::ENUM_REQUEST),
            [once](const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t* body,
                   size_t size) {
                auto rooms =
                    type == proto::ENUM_REPLY ? proto::DecodeEnumReply(body, size) : std::nullopt;
                link->Close(rooms ? TLinkEnd::Local : TLinkEnd::Violation);
                once->Set(rooms
                              ? Result({link->RemoteAddress(), link->PeerKey(), std::move(*rooms)})
                              : Result());
                return false;
            },
            [once, insecure](TLinkEnd why) {
                *insecure = why == TLinkEnd::Insecure;
                once->Set(std::nullopt);
            });
    });
    int wait = timeoutMs ? static_cast<int>(timeoutMs) : kDefaultEnumTimeoutMs;
    auto result = once->Wait(wait);
    if (!result || !*result) {
        if (*insecure)
            lastError_ = "the program at this address does not speak encrypted links: an older "
                         "version of Parlora, or not Parlora";
        return DPERR_NOCONNECTION;
    }
    const asio::ip::address address = (*result)->Address;
    found_.clear();
    listedKey_.reset();
    if (const auto& key = (*result)->Key) listedKey_ = identity::TFingerprint{*key};
    for (const proto::TRoomInfo& room : (*result)->Rooms) {
        found_.push_back(
            {room.Instance, asio::ip::tcp::endpoint(address, room.Port ? room.Port : port_)});
        DPSESSIONDESC2 found;
        found.dwFlags = DPSESSION_MIGRATEHOST | DPSESSION_KEEPALIVE;
        found.guidInstance = room.Instance;
        found.guidApplication = desc.guidApplication;
        found.dwMaxPlayers = room.MaxPlayers;
        found.dwCurrentPlayers = room.CurrentPlayers;
        found.sessionName = room.Name;
        uint32_t t = timeoutMs;
        if (!callback(&found, &t, 0)) return DP_OK;
    }
    uint32_t t = timeoutMs;
    callback(nullptr, &t, DPESC_TIMEDOUT);
    return DP_OK;
}

HRESULT TDPDirectPlay::Open(const DPSESSIONDESC2& desc, uint32_t flags) {
    lastError_.clear();
    keyChange_.reset();
    if (!initialized_) return DPERR_UNINITIALIZED;
    if (driver_) return DPERR_ALREADYINITIALIZED;
    if (flags & DPOPEN_CREATE) return Create(desc);
    if (flags & DPOPEN_JOIN) return Join(desc);
    return DPERR_INVALIDPARAMS;
}

HRESULT TDPDirectPlay::Create(const DPSESSIONDESC2& desc) {
    proto::TRoomInfo info;
    info.Application = desc.guidApplication;
    info.Instance = TGuid::Create();
    info.MaxPlayers = desc.dwMaxPlayers;
    info.Name = desc.sessionName.substr(0, proto::kMaxName);
    // Hosting needs this machine's directory: the port, or a registration with its owner.
    // The result: empty when hosting is possible, otherwise why not.
    auto once = std::make_shared<TDPOnce<std::optional<std::string>>>();
    asio::post(service_->Io(), [service = service_.get(), port = port_, once] {
        TDPDirectory& directory = service->Directory(port);
        directory.Ensure([once, &directory](bool ok) {
            once->Set(ok ? std::nullopt : std::optional(directory.FailureText()));
        });
    });
    auto failure = once->Wait(kJoinTimeoutMs);
    if (!failure || *failure) {
        lastError_ = failure ? **failure
                             : "TCP port " + std::to_string(port_) +
                                   ": no answer from the program that holds it.";
        return DPERR_GENERIC;
    }
    auto driver = std::make_shared<TDPRoomDriver>(*service_, port_);
    auto created = std::make_shared<TDPOnce<HRESULT>>();
    asio::post(service_->Io(), [driver, info, created] {
        driver->Create(info, [created](HRESULT hr, uint32_t) { created->Set(hr); });
    });
    return Opened(driver, created->Wait(kJoinTimeoutMs));
}

HRESULT TDPDirectPlay::Join(const DPSESSIONDESC2& desc) {
    const Found* target = nullptr;
    for (const Found& f : found_)
        if (f.Instance == desc.guidInstance) target = &f;
    if (!target) return DPERR_NOSESSIONS;
    // Trust on first use: the key the listing showed is the host's key for
    // the address typed, and the join link must show the same.
    std::optional<proto2::TKeyId> hostKey;
    bool firstTime = false;
    if (service_->Tls()) {
        if (!listedKey_) return DPERR_NOCONNECTION; // an encrypted link shows a key
        if (HRESULT hr = CheckHostKey(*listedKey_, &firstTime); Failed(hr)) return hr;
        hostKey = listedKey_->Bytes;
    }
    auto driver = std::make_shared<TDPRoomDriver>(*service_, port_);
    auto once = std::make_shared<TDPOnce<HRESULT>>();
    asio::post(service_->Io(), [driver, desc, host = target->Endpoint, hostKey, once] {
        driver->Join(host.address(), host.port(), desc.guidApplication, desc.guidInstance, hostKey,
                     [once](HRESULT hr, uint32_t) { once->Set(hr); });
    });
    const HRESULT hr = Opened(driver, once->Wait(kJoinTimeoutMs));
    if (hr == DPERR_HOSTSWITCHED)
        lastError_ = "The host that answered the join at " + KnownAddress() +
                     " shows another key than the one that listed its rooms; not entered.";
    if (!Failed(hr) && firstTime) {
        // Entered all the same: the user is told, and asked again next time.
        const std::string error = identity::TKnownHosts(identity::TKnownHosts::DefaultFile())
                                      .Remember(KnownAddress(), *listedKey_);
        if (!error.empty())
            std::fprintf(stderr, "parlora session service: the host key is not remembered: %s\n",
                         error.c_str());
    }
    return hr;
}

std::string TDPDirectPlay::KnownAddress() const {
    return identity::KnownHostAddress(host_.empty() ? service_->LocalAddress().to_string() : host_,
                                      port_);
}

HRESULT TDPDirectPlay::CheckHostKey(const identity::TFingerprint& key, bool* firstTime) {
    const std::string address = KnownAddress();
    const identity::TTrustCheck check =
        identity::TKnownHosts(identity::TKnownHosts::DefaultFile()).Check(address, key);
    switch (check.Result) {
    case identity::TTrust::Same:
        return DP_OK;
    case identity::TTrust::FirstTime:
        *firstTime = true;
        return DP_OK;
    case identity::TTrust::Changed:
        keyChange_ = DPHOSTKEYCHANGE{address, check.Old->Bytes, key.Bytes};
        lastError_ = "The host key at " + address + " is not the one seen there before (" +
                     check.Old->Short() + " before, " + key.Short() + " now); not entered.";
        return DPERR_HOSTKEYCHANGED;
    case identity::TTrust::Unreadable:
        break;
    }
    lastError_ = "The remembered host keys cannot be read (" + check.Error +
                 "), so the host's key cannot be checked; not entered.";
    return DPERR_KNOWNHOSTS;
}

HRESULT TDPDirectPlay::AcceptHostKey() {
    if (!keyChange_) return DPERR_INVALIDPARAMS;
    const std::string error =
        identity::TKnownHosts(identity::TKnownHosts::DefaultFile())
            .Remember(keyChange_->Address, identity::TFingerprint{keyChange_->Now});
    if (!error.empty()) {
        lastError_ = "The new host key cannot be remembered (" + error + ").";
        return DPERR_KNOWNHOSTS;
    }
    keyChange_.reset();
    return DP_OK;
}

DPROOMSECURITY TDPDirectPlay::RoomSecurity() const {
    DPROOMSECURITY security;
    if (!driver_) return security;
    security.Encrypted = service_->Tls() != nullptr;
    // Zero until the view names the host's key.
    if (const auto key = driver_->HostKey(); key != proto2::TKeyId{}) security.HostKey = key;
    return security;
}

HRESULT TDPDirectPlay::Opened(const std::shared_ptr<TDPRoomDriver>& driver,
                              std::optional<HRESULT> result) {
    const HRESULT hr = result ? *result : DPERR_TIMEOUT;
    if (Failed(hr)) {
        service_->RunSync([driver] {
            driver->Leave();
            return 0;
        });
        return hr;
    }
    driver_ = driver;
    left_ = false;
    sent_.reset();
    return DP_OK;
}

HRESULT TDPDirectPlay::CreatePlayer(DPID* id, const DPNAME* name, std::shared_ptr<TDPEvent> event,
                                    const void*, uint32_t, uint32_t) {
    if (!driver_ || !id) return DPERR_INVALIDPARAMS;
    using Result = std::pair<HRESULT, uint32_t>;
    auto once = std::make_shared<TDPOnce<Result>>();
    std::string shortName = name ? name->shortName : std::string();
    asio::post(service_->Io(), [driver = driver_, shortName, event, once] {
        driver->CreatePlayer(shortName, event, [once](HRESULT hr, uint32_t newId) {
            once->Set({hr, newId});
        });
    });
    // The host may hold a join while a quiet member can still come back;
    // its answer (welcome or refusal) comes before we give up.
    auto result = once->Wait(static_cast<int>(room::kAdmitSilentMs) + 4000);
    if (!result) return DPERR_TIMEOUT;
    if (Failed(result->first)) return result->first;
    *id = result->second;
    return DP_OK;
}

HRESULT TDPDirectPlay::EnumPlayers(const TGuid*, const EnumPlayersCallback& callback, uint32_t) {
    if (!driver_) return DPERR_INVALIDPARAMS;
    auto players = service_->RunSync([driver = driver_] { return driver->Players(); });
    for (const auto& p : players)
        if (!callback(p.Id, DPPLAYERTYPE_PLAYER, p.Name, 0)) break;
    return DP_OK;
}

HRESULT TDPDirectPlay::Send(DPID from, DPID to, uint32_t, const void* data, uint32_t size) {
    if (!driver_) return DPERR_INVALIDPARAMS;
    // Refused here, where the sender sees it: no frame could carry it.
    if (size > proto::kMaxBlock) return DPERR_SENDTOOBIG;
    if (size && !data) return DPERR_INVALIDPARAMS;
    return driver_->Send(from, to, data, size);
}

HRESULT TDPDirectPlay::Receive(DPID* from, DPID* to, uint32_t, void* data, uint32_t* size) {
    if (!driver_ || !size) return DPERR_NOMESSAGES;
    return driver_->Receive(from, to, data, size);
}

HRESULT TDPDirectPlay::DestroyPlayer(DPID) {
    if (!driver_) return DPERR_INVALIDPLAYER;
    LeaveRoom();
    return DP_OK;
}

void TDPDirectPlay::LeaveRoom() {
    // Once per room: leaving again would report nothing left to send.
    if (left_) return;
    left_ = true;
    auto sent = std::make_shared<TDPOnce<bool>>();
    service_->RunSync([driver = driver_, sent] {
        driver->Leave([sent](bool delivered) { sent->Set(delivered); });
        return 0;
    });
    sent_ = std::move(sent);
}

HRESULT TDPDirectPlay::Close() {
    if (!driver_) return DP_OK;
    LeaveRoom();
    driver_.reset();
    left_ = false;
    return DP_OK;
}

HRESULT TDPDirectPlay::WaitSent(uint32_t timeoutMs) {
    if (!sent_) return DP_OK;
    auto delivered = sent_->Wait(static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX)));
    if (!delivered) return DPERR_TIMEOUT;
    return *delivered ? DP_OK : DPERR_CONNECTIONLOST;
}

} // namespace dplay
