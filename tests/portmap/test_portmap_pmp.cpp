// The mapper against a NAT-PMP router played by the test on 127.0.0.2:5351,
// found through a routing table that names it the default gateway. UPnP's
// multicast search is off, so nothing leaves loopback.
#include "portmap/PortMapper.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace portmap;
using namespace std::chrono_literals;

namespace {

constexpr const char* kRouterIp = "127.0.0.2";

// A NAT-PMP router: answers public address and TCP mapping requests from its
// table; the test sets what it says.
class TFakePmpRouter {
  public:
    TFakePmpRouter() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5351);
        ::inet_pton(AF_INET, kRouterIp, &a.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::pipe(stop_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TFakePmpRouter() {
        ::write(stop_[1], "x", 1);
        thread_.join();
        ::close(fd_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    bool Bound() const { return bound_; }

    // What the router says.
    std::string PublicAddress = "203.0.113.7";
    uint16_t Result = 0;
    uint32_t Lifetime = 3600;    // the most it grants
    std::vector<uint16_t> Taken; // public ports another client holds
    bool Silent = false;
    bool Garbage = false;

    std::mutex Mutex;
    std::condition_variable Changed;
    std::map<uint16_t, uint16_t> Table; // internal -> public
    int MapRequests = 0;
    uint32_t Epoch = 5000;

    // Loses every mapping and starts its epoch again, as after a power cut.
    void Restart() {
        std::lock_guard lock(Mutex);
        Table.clear();
        Epoch = 1;
    }
    template <class P> bool WaitFor(P predicate, std::chrono::seconds limit = 20s) {
        std::unique_lock lock(Mutex);
        return Changed.wait_for(lock, limit, [&] { return predicate(); });
    }

  private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            uint8_t in[64];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n =
                ::recvfrom(fd_, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 2 || Silent) continue;
            uint8_t out[16] = {};
            size_t outLen = 0;
            {
                std::lock_guard lock(Mutex);
                ++Epoch;
                out[0] = 0;
                out[1] = static_cast<uint8_t>(128 + in[1]);
                uint16_t result = htons(Result);
                std::memcpy(out + 2, &result, 2);
                uint32_t epoch = htonl(Epoch);
                std::memcpy(out + 4, &epoch, 4);
                if (in[1] == 0) {
                    in_addr a{};
                    ::inet_pton(AF_INET, PublicAddress.c_str(), &a);
                    std::memcpy(out + 8, &a, 4);
                    outLen = 12;
                } else if (in[1] == 2 && n >= 12) {
                    uint16_t internal, wanted;
                    uint32_t life;
                    std::memcpy(&internal, in + 4, 2);
                    std::memcpy(&wanted, in + 6, 2);
                    std::memcpy(&life, in + 8, 4);
                    internal = ntohs(internal);
                    wanted = ntohs(wanted);
                    life = ntohl(life);
                    uint16_t granted = 0;
                    if (Result == 0 && life == 0) {
                        Table.erase(internal);
                    } else if (Result == 0) {
                        ++MapRequests;
                        granted = wanted;
                        while (std::find(Taken.begin(), Taken.end(), granted) != Taken.end())
                            ++granted;
                        Table[internal] = granted;
                        life = std::min(life, Lifetime);
                    }
                    uint16_t i = htons(internal), g = htons(granted);
                    uint32_t l = htonl(Result == 0 ? life : 0);
                    std::memcpy(out + 8, &i, 2);
                    std::memcpy(out + 10, &g, 2);
                    std::memcpy(out + 12, &l, 4);
                    outLen = 16;
                } else {
                    continue;
                }
                if (Garbage) outLen = 3;
            }
            Changed.notify_all();
            ::sendto(fd_, out, outLen, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    bool bound_ = false;
    std::thread thread_;
};

// Statuses as the mapper reports them, waited for by condition.
class TStatuses {
  public:
    void operator()(const TPortMapStatus& s) {
        std::lock_guard lock(mutex_);
        all_.push_back(s);
        changed_.notify_all();
    }
    template <class P>
    std::optional<TPortMapStatus> WaitFor(P predicate, std::chrono::seconds limit = 20s) {
        std::unique_lock lock(mutex_);
        std::optional<TPortMapStatus> found;
        changed_.wait_for(lock, limit, [&] {
            for (auto& s : all_)
                if (predicate(s)) return found = s, true;
            return false;
        });
        return found;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        all_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TPortMapStatus> all_;
};

class PmpRouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!router_.Bound()) GTEST_SKIP() << "127.0.0.2:5351 is taken";
        routeFile_ = (dir_ / "route").string();
        std::ofstream(routeFile_) << "Iface\tDestination\tGateway "
                                     "\tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                                  << "lo\t00000000\t0200007F\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    }
    std::unique_ptr<TPortMapper> Mapper() {
        TPortMapOptions options;
        options.Upnp = false;
        options.RouteFile = routeFile_;
        options.DiscoverMs = 1500;
        options.RetrySeconds = 1;
        return std::make_unique<TPortMapper>([this](const TPortMapStatus& s) { statuses_(s); },
                                             options);
    }
    static auto State(TPortMapState state) {
        return [state](const TPortMapStatus& s) { return s.State == state; };
    }
    // A new mapper (the one before it gone first) asked for the directory
    // port; the failure it reports, none if it reports none in time.
    std::optional<TPortMapStatus> FailureOfANewMapper(std::unique_ptr<TPortMapper>& mapper) {
        mapper.reset();
        statuses_.Clear();
        mapper = Mapper();
        mapper->SetPorts({47624});
        return statuses_.WaitFor(State(TPortMapState::Failed));
    }

    TFakePmpRouter router_;
    TStatuses statuses_;
    testsupport::TempDir dir_;
    std::string routeFile_;
};

} // namespace

TEST_F(PmpRouterTest, MapsLearnsThePublicAddressAndRemovesAtTheEnd) {
    auto mapper = Mapper();
    mapper->SetPorts({47624});
    auto mapped = statuses_.WaitFor(State(TPortMapState::Mapped));
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->Method, "NAT-PMP");
    EXPECT_EQ(OutsideAddress(*mapped, 47624, 47624), "203.0.113.7");
    EXPECT_EQ(ProblemText(*mapped, 47624), "");
    ASSERT_EQ(mapped->Mappings.size(), 1u);
    EXPECT_EQ(mapped->Mappings[0].Lease, 3600u);
    EXPECT_TRUE(router_.WaitFor([&] { return router_.Table.count(47624) == 1; }));

    // No room hosted: the mapping goes.
    mapper->SetPorts({});
    EXPECT_TRUE(statuses_.WaitFor(State(TPortMapState::Off)));
    EXPECT_TRUE(router_.WaitFor([&] { return router_.Table.empty(); }));

    // Hosting again, then the program ends: gone by the time it has ended.
    mapper->SetPorts({47624});
    EXPECT_TRUE(router_.WaitFor([&] { return router_.Table.count(47624) == 1; }));
    mapper.reset();
    std::lock_guard lock(router_.Mutex);
    EXPECT_TRUE(router_.Table.empty());
}

TEST_F(PmpRouterTest, ATakenPortGivesAnotherAndTheAddressCarriesIt) {
    router_.Taken = {47624};
    auto mapper = Mapper();
    mapper->SetPorts({47624});
    auto mapped = statuses_.WaitFor(State(TPortMapState::Mapped));
    ASSERT_TRUE(mapped);
    EXPECT_EQ(OutsideAddress(*mapped, 47624, 47624), "203.0.113.7:47625");
    // Another port than the directory port in use is told with its port.
    EXPECT_EQ(OutsideAddress(*mapped, 47624, 47625), "203.0.113.7");
    EXPECT_EQ(OutsideAddress(*mapped, 5000, 47624), "");
}

TEST_F(PmpRouterTest, AShortLeaseIsRenewedAtHalfItsTime) {
    router_.Lifetime = 2;
    auto mapper = Mapper();
    mapper->SetPorts({47624});
    ASSERT_TRUE(statuses_.WaitFor(State(TPortMapState::Mapped)));
    // Every second a renewal; three of them within a few seconds.
    EXPECT_TRUE(router_.WaitFor([&] { return router_.MapRequests >= 4; }));
}

TEST_F(PmpRouterTest, ARestartedRouterGetsItsMappingsAgain) {
    auto mapper = Mapper();
    mapper->SetPorts({47624});
    ASSERT_TRUE(router_.WaitFor([&] { return router_.Table.count(47624) == 1; }));
    router_.Restart();
    // The next answer (here for a second port) shows the epoch started
    // again: the first mapping is made anew long before its renewal time.
    mapper->SetPorts({47624, 2300});
    EXPECT_TRUE(router_.WaitFor(
        [&] { return router_.Table.count(47624) == 1 && router_.Table.count(2300) == 1; }));
}

TEST_F(PmpRouterTest, PublicAddressesNobodyOutsideCanUse) {
    struct Case {
        const char* Address;
        TPortMapProblem Problem;
        const char* Said;
    } cases[] = {{"192.168.0.1", TPortMapProblem::PrivatePublic, "二重のNAT"},
                 {"10.1.2.3", TPortMapProblem::PrivatePublic, "10.1.2.3"},
                 {"100.64.0.9", TPortMapProblem::SharedPublic, "共有"},
                 {"0.0.0.0", TPortMapProblem::UnusablePublic, "0.0.0.0"},
                 {"224.0.0.1", TPortMapProblem::UnusablePublic, "224.0.0.1"}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.Address);
        router_.PublicAddress = c.Address;
        std::unique_ptr<TPortMapper> mapper;
        auto failed = FailureOfANewMapper(mapper);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->Problem, c.Problem);
        std::string text = ProblemText(*failed, 47624);
        EXPECT_NE(text.find(c.Said), std::string::npos) << text;
        EXPECT_NE(text.find("LAN"), std::string::npos) << text;
        EXPECT_EQ(OutsideAddress(*failed, 47624, 47624), "");
        std::lock_guard lock(router_.Mutex);
        EXPECT_TRUE(router_.Table.empty());
    }
    // A router with no public address of its own (result 3, network failure).
    router_.Result = 3;
    std::unique_ptr<TPortMapper> mapper;
    auto failed = FailureOfANewMapper(mapper);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->Problem, TPortMapProblem::NoPublic);
    EXPECT_NE(ProblemText(*failed, 47624).find("二重のNAT"), std::string::npos);
}

TEST_F(PmpRouterTest, RefusalsAndSilenceAreToldWithThePortToForward) {
    for (uint16_t code : {2, 4, 1, 5}) {
        SCOPED_TRACE(code);
        router_.Result = code;
        std::unique_ptr<TPortMapper> mapper;
        auto failed = FailureOfANewMapper(mapper);
        ASSERT_TRUE(failed);
        EXPECT_NE(failed->Problem, TPortMapProblem::None);
        EXPECT_NE(ProblemText(*failed, 47624).find("TCP 47624"), std::string::npos);
    }
    router_.Result = 0;
    for (bool garbage : {false, true}) {
        router_.Silent = !garbage;
        router_.Garbage = garbage;
        std::unique_ptr<TPortMapper> mapper;
        auto failed = FailureOfANewMapper(mapper);
        ASSERT_TRUE(failed);
        // A reply cut short is read by the library as an address of zeros.
        EXPECT_EQ(failed->Problem,
                  garbage ? TPortMapProblem::UnusablePublic : TPortMapProblem::NoRouter);
        // The mapper keeps trying; when the router answers again it maps.
        router_.Silent = router_.Garbage = false;
        EXPECT_TRUE(statuses_.WaitFor(State(TPortMapState::Mapped)));
    }
}
