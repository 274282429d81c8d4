#include "PortMapper.h"

#include "Gateway.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace portmap {

using Clock = std::chrono::steady_clock;

namespace {

bool Same(const TPortMapStatus& a, const TPortMapStatus& b) {
    auto key = [](const TPortMapping& m) { return std::tuple(m.Internal, m.External, m.Lease); };
    return a.State == b.State && a.Problem == b.Problem && a.Method == b.Method &&
           a.PublicAddress == b.PublicAddress && a.Detail == b.Detail &&
           std::equal(a.Mappings.begin(), a.Mappings.end(), b.Mappings.begin(), b.Mappings.end(),
                      [&](auto& x, auto& y) { return key(x) == key(y); });
}

} // namespace

TPortMapper::TPortMapper(StatusHandler onStatus, TPortMapOptions options)
    : onStatus_(std::move(onStatus)), options_(std::move(options)) {
    thread_ = std::thread([this] { Run(); });
}

TPortMapper::~TPortMapper() {
    Shutdown();
}

TPortMapOptions TPortMapper::FromEnvironment() {
    TPortMapOptions options;
    if (const char* lease = std::getenv("PARLORA_PORTMAP_LEASE")) {
        long value = std::strtol(lease, nullptr, 10);
        if (value >= 2 && value <= 86400) options.Lease = static_cast<uint32_t>(value);
    }
    return options;
}

bool TPortMapper::EnabledByEnvironment() {
    const char* value = std::getenv("PARLORA_PORTMAP");
    return !value || std::string(value) != "0";
}

void TPortMapper::SetPorts(std::vector<uint16_t> ports) {
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    ports.erase(std::remove(ports.begin(), ports.end(), 0), ports.end());
    std::lock_guard lock(mutex_);
    if (ports == wanted_) return;
    wanted_ = std::move(ports);
    changed_ = true;
    wake_.notify_one();
}

void TPortMapper::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void TPortMapper::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::optional<Clock::time_point> due = retryAt_;
        for (auto& h : held_)
            if (!due || h.RenewAt < *due) due = h.RenewAt;
        auto ready = [this] { return changed_ || stop_; };
        if (due)
            wake_.wait_until(lock, *due, ready);
        else
            wake_.wait(lock, ready);
        if (stop_) break;
        bool changed = changed_;
        changed_ = false;
        std::vector<uint16_t> wanted = wanted_;
        lock.unlock();
        if (changed) retryAt_.reset();
        Step(wanted);
        lock.lock();
    }
    lock.unlock();
    UnmapAll();
}

bool TPortMapper::Discover() {
    std::string why, upnpWhy = "UPnP not used";
    if (options_.Upnp) {
        gateway_ = FindUpnpGateway(options_.DiscoverMs, options_.Description, why);
        if (gateway_) return true;
        upnpWhy = why;
    }
    std::ifstream routes(options_.RouteFile);
    std::stringstream text;
    text << routes.rdbuf();
    if (auto gateway = DefaultGateway(text.str())) {
        gateway_ = FindPmpGateway(*gateway, options_.DiscoverMs, why);
        if (gateway_) return true;
    } else {
        why = "no default gateway";
    }
    status_.Detail = upnpWhy + "; " + why;
    return false;
}

void TPortMapper::Step(const std::vector<uint16_t>& wanted) {
    auto now = Clock::now();
    if (wanted.empty()) {
        UnmapAll();
        gateway_.reset();
        retryAt_.reset();
        status_ = TPortMapStatus{};
        Report();
        return;
    }
    if (retryAt_ && now < *retryAt_) return;
    retryAt_.reset();
    if (!gateway_) {
        held_.clear(); // a router found anew knows none of ours
        status_.State = TPortMapState::Searching;
        status_.Problem = TPortMapProblem::None;
        Report();
        if (!Discover()) return Fail(TPortMapProblem::NoRouter, status_.Detail);
        status_.Method = gateway_->Method();
    }

    std::string why;
    bool none = false;
    auto address = gateway_->PublicAddress(why, none);
    if (gateway_->TakeRestarted())
        for (auto& h : held_)
            h.RenewAt = now;
    if (none) {
        UnmapAll();
        return Fail(TPortMapProblem::NoPublic, why);
    }
    if (!address) {
        // The router stopped answering: look for it again soon.
        gateway_.reset();
        held_.clear();
        return Fail(TPortMapProblem::NoRouter, why);
    }
    status_.PublicAddress = address;
    switch (ClassifyIPv4(*address)) {
    case TAddressKind::Public:
        break;
    case TAddressKind::Private:
        UnmapAll();
        return Fail(TPortMapProblem::PrivatePublic, "private public address");
    case TAddressKind::Shared:
        UnmapAll();
        return Fail(TPortMapProblem::SharedPublic, "shared public address");
    case TAddressKind::Unusable:
        UnmapAll();
        return Fail(TPortMapProblem::UnusablePublic, "unusable public address");
    }

    // Mappings no longer wanted go first, so that their ports are free.
    for (auto it = held_.begin(); it != held_.end();) {
        if (std::find(wanted.begin(), wanted.end(), it->Mapping.Internal) == wanted.end()) {
            gateway_->Unmap(it->Mapping.Internal, it->Mapping.External);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
    for (uint16_t port : wanted) {
        auto it = std::find_if(held_.begin(), held_.end(),
                               [port](const Held& h) { return h.Mapping.Internal == port; });
        if (it != held_.end() && it->RenewAt > now) continue;
        uint16_t external = it != held_.end() ? it->Mapping.External : 0;
        uint32_t lease = options_.Lease;
        switch (gateway_->Map(port, external, lease, why)) {
        case TMapAnswer::Mapped: {
            Held h{{port, external, lease}, Clock::now() + std::chrono::seconds(RenewAfter(lease))};
            if (it != held_.end())
                *it = h;
            else
                held_.push_back(h);
            break;
        }
        case TMapAnswer::PortTaken:
        case TMapAnswer::Refused:
            if (it != held_.end()) held_.erase(it);
            return Fail(TPortMapProblem::Refused, why);
        case TMapAnswer::NoAnswer:
            // A renewal the router does not take: it may have restarted
            // elsewhere; find it again and map anew.
            gateway_.reset();
            held_.clear();
            return Fail(TPortMapProblem::NoRouter, why);
        }
    }
    status_.State = TPortMapState::Mapped;
    status_.Problem = TPortMapProblem::None;
    status_.Detail.clear();
    Report();
}

void TPortMapper::Fail(TPortMapProblem problem, std::string detail) {
    status_.State = TPortMapState::Failed;
    status_.Problem = problem;
    status_.Detail = std::move(detail);
    retryAt_ = Clock::now() + std::chrono::seconds(options_.RetrySeconds);
    Report();
}

void TPortMapper::UnmapAll() {
    if (gateway_)
        for (auto& h : held_)
            gateway_->Unmap(h.Mapping.Internal, h.Mapping.External);
    held_.clear();
}

void TPortMapper::Report() {
    TPortMapStatus status = status_;
    status.Mappings.clear();
    for (auto& h : held_)
        status.Mappings.push_back(h.Mapping);
    if (reported_ && Same(status, *reported_)) return;
    reported_ = status;
    if (onStatus_) onStatus_(status);
}

std::string OutsideAddress(const TPortMapStatus& status, uint16_t port, uint16_t directoryPort) {
    if (status.State != TPortMapState::Mapped || !status.PublicAddress) return {};
    for (auto& m : status.Mappings)
        if (m.Internal == port) {
            std::string text = FormatIPv4(*status.PublicAddress);
            if (m.External != directoryPort) text += ":" + std::to_string(m.External);
            return text;
        }
    return {};
}

std::string ProblemText(const TPortMapStatus& status, uint16_t port) {
    if (status.State != TPortMapState::Failed) return {};
    // IPv6 rooms are not there yet: only the home network is promised.
    const std::string stillWorks = "LAN内では入室できます。";
    const std::string byHand =
        "ルーターでTCP " + std::to_string(port) + "番を手で転送すれば外からも入れます。";
    std::string address = status.PublicAddress ? FormatIPv4(*status.PublicAddress) : "";
    switch (status.Problem) {
    case TPortMapProblem::NoRouter:
        return "ルーターがポート転送(UPnP/NAT-PMP)に応じないため、外からは入室できません。" +
               stillWorks + byHand;
    case TPortMapProblem::Refused:
        return "ルーターがポート転送を断ったため、外からは入室できません。" + stillWorks + byHand;
    case TPortMapProblem::PrivatePublic:
        return "ルーターの外側のアドレス(" + address +
               ")も内側のアドレスです(二重のNAT)。外からは入室できません。" + stillWorks;
    case TPortMapProblem::SharedPublic:
        return "プロバイダがIPv4アドレスを共有しているため(" + address +
               ")、外からIPv4では入室できません。" + stillWorks;
    case TPortMapProblem::UnusablePublic:
        return "ルーターが使えない外側のアドレス(" + address +
               ")を返しました。外からは入室できません。" + stillWorks + byHand;
    case TPortMapProblem::NoPublic:
        return "ルーター自身に外側のアドレスがありません(二重のNATなど)。外からは入室できません。" +
               stillWorks;
    case TPortMapProblem::None:
        break;
    }
    return {};
}

} // namespace portmap
