#pragma once
// Asks the home router to forward TCP ports to this machine, by UPnP IGD or
// NAT-PMP, keeps the mappings alive while they are wanted and removes them
// when they are not. All router traffic runs on a thread of its own; what it
// learns is reported through a callback on that thread, which the owner
// hands over to its own thread.
#include "PortMapRules.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace portmap {

struct TPortMapping {
    uint16_t Internal = 0;
    uint16_t External = 0;
    uint32_t Lease = 0; // seconds; 0: until removed
};

enum class TPortMapState {
    Off,       // no port wanted
    Searching, // looking for the router
    Mapped,    // every wanted port is forwarded
    Failed,    // see Problem
};

enum class TPortMapProblem {
    None,
    NoRouter,       // nothing answered UPnP or NAT-PMP
    Refused,        // the router answered but would not forward
    PrivatePublic,  // its public address is itself private: another router is in front
    SharedPublic,   // its public address is the provider's shared space (carrier NAT)
    UnusablePublic, // it named no usable public address
    NoPublic,       // it has no public address (another router is in front, or no line)
};

struct TPortMapStatus {
    TPortMapState State = TPortMapState::Off;
    TPortMapProblem Problem = TPortMapProblem::None;
    std::string Method; // "UPnP" or "NAT-PMP", once a router answered
    std::optional<TIPv4> PublicAddress;
    std::vector<TPortMapping> Mappings;
    std::string Detail; // what the router said, in English, for logs
};

struct TPortMapOptions {
    uint32_t Lease = kLeaseSeconds;
    int DiscoverMs = 2000;  // UPnP search, and NAT-PMP's first answer
    int RetrySeconds = 120; // after no router was found or a router stopped answering
    std::string Description = "Parlora";
    bool Upnp = true; // false: NAT-PMP only (no multicast search)
    // The routing table to find the NAT-PMP gateway in.
    std::string RouteFile = "/proc/net/route";
};

class TGateway;

class TPortMapper {
  public:
    using StatusHandler = std::function<void(const TPortMapStatus&)>;
    explicit TPortMapper(StatusHandler onStatus, TPortMapOptions options = {});
    // Removes every mapping made (waiting for the router a few seconds at most).
    ~TPortMapper();
    TPortMapper(const TPortMapper&) = delete;
    TPortMapper& operator=(const TPortMapper&) = delete;

    // The TCP ports to forward; empty: remove every mapping. Returns at once.
    void SetPorts(std::vector<uint16_t> ports);
    // Removes the mappings and waits until they are gone (bounded).
    void Shutdown();

    // Options read from the environment: PARLORA_PORTMAP_LEASE (seconds).
    static TPortMapOptions FromEnvironment();
    // False when $PARLORA_PORTMAP is "0": nothing is asked of any router
    // (the tests that run on the machine's own network set it).
    static bool EnabledByEnvironment();

  private:
    void Run();
    void Step(const std::vector<uint16_t>& wanted);
    void UnmapAll();
    void Report();
    void Fail(TPortMapProblem problem, std::string detail);
    bool Discover();

    StatusHandler onStatus_;
    TPortMapOptions options_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<uint16_t> wanted_;
    bool changed_ = false;
    bool stop_ = false;

    // Mapper thread only.
    std::unique_ptr<TGateway> gateway_;
    struct Held {
        TPortMapping Mapping;
        std::chrono::steady_clock::time_point RenewAt;
    };
    std::vector<Held> held_;
    TPortMapStatus status_;
    std::optional<TPortMapStatus> reported_;
    std::optional<std::chrono::steady_clock::time_point> retryAt_;
    std::thread thread_;
};

// The address an outsider enters at, "a.b.c.d" or "a.b.c.d:port" when the
// forwarded public port of `port` is not `directoryPort`; "" when there is
// no working mapping of it.
std::string OutsideAddress(const TPortMapStatus& status, uint16_t port, uint16_t directoryPort);

// A short Japanese text for the user (UTF-8) when outsiders cannot enter,
// saying what still works; "" when the mapping works or nothing is wanted.
std::string ProblemText(const TPortMapStatus& status, uint16_t port);

} // namespace portmap
