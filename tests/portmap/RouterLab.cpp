#include "RouterLab.h"

#include "session/NetLab.h"
#include "support/Wait.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every lab namespace is "pm<pid>-<lab>-<machine>".
constexpr const char* kMark = "pm";

int Run(const std::string& command) {
    return TNetLab::Run(command);
}

void Must(const std::string& command) {
    TNetLab::Must(command);
}

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

} // namespace

std::string TRouterLab::Unavailable() {
    if (::geteuid() != 0) return "network namespaces and a router daemon need root";
    for (const char* program : {"ip", "iptables-legacy", "miniupnpd"})
        if (Run(std::string("command -v ") + program) != 0)
            return std::string(program) + " is not installed (scripts/setup.sh installs it)";
    return {};
}

TRouterLab::TRouterLab(TRouter router) : router_(router) {
    static std::atomic<int> labs{0};
    prefix_ = kMark + std::to_string(::getpid()) + "-" + std::to_string(++labs) + "-";
    TNetLab::SweepLeftovers(kMark);
    char dirTemplate[] = "/tmp/parlora-routerlab-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate) ? dirTemplate : "/tmp";
    try {
        NewNamespace("wan");
        In("wan", "ip link add br0 type bridge && ip link set br0 up");
        NewNamespace("router");
        NewNamespace("lan");
        In("lan", "ip link add br0 type bridge && ip link set br0 up");
        Must("ip link add lan0 netns " + Ns("router") + " type veth peer name p-router netns " +
             Ns("lan"));
        In("lan", "ip link set p-router master br0 up");
        In("router", "ip addr add 192.168.50.1/24 dev lan0 && ip link set lan0 up && "
                     "sysctl -qw net.ipv4.ip_forward=1");
        std::string routerWan = "11.22.33.1/24";
        if (router_ == TRouter::DoubleNat) {
            // The provider's router in front: ours gets a private address from it.
            NewNamespace("isp");
            Must("ip link add wan0 netns " + Ns("isp") + " type veth peer name p-isp netns " +
                 Ns("wan"));
            In("wan", "ip link set p-isp master br0 up");
            In("isp", "ip addr add 11.22.33.1/24 dev wan0 && ip link set wan0 up && "
                      "sysctl -qw net.ipv4.ip_forward=1 && "
                      "iptables-legacy -t nat -A POSTROUTING -o wan0 -j MASQUERADE");
            Must("ip link add wan0 netns " + Ns("router") + " type veth peer name down0 netns " +
                 Ns("isp"));
            In("isp", "ip addr add 10.20.0.1/24 dev down0 && ip link set down0 up");
            routerWan = "10.20.0.2/24";
            In("router",
               "ip addr add " + routerWan +
                   " dev wan0 && ip link set wan0 up && ip route add default via 10.20.0.1");
        } else {
            Must("ip link add wan0 netns " + Ns("router") + " type veth peer name p-router netns " +
                 Ns("wan"));
            In("wan", "ip link set p-router master br0 up");
            In("router", "ip addr add " + routerWan + " dev wan0 && ip link set wan0 up");
        }
        In("router", "iptables-legacy -t nat -A POSTROUTING -o wan0 -j MASQUERADE");
        if (router_ != TRouter::NoUpnp) {
            // miniupnpd drives the legacy tables and expects its chains made.
            In("router",
               "iptables-legacy -t nat -N MINIUPNPD && "
               "iptables-legacy -t nat -N MINIUPNPD-POSTROUTING && "
               "iptables-legacy -t mangle -N MINIUPNPD && "
               "iptables-legacy -N MINIUPNPD && "
               "iptables-legacy -t nat -A PREROUTING -i wan0 -j MINIUPNPD && "
               "iptables-legacy -t nat -A POSTROUTING -o wan0 -j MINIUPNPD-POSTROUTING && "
               "iptables-legacy -t mangle -A PREROUTING -i wan0 -j MINIUPNPD && "
               "iptables-legacy -A FORWARD -i wan0 ! -o wan0 -j MINIUPNPD");
            std::ofstream(dir_ + "/miniupnpd.conf")
                << "ext_ifname=wan0\n"
                << "listening_ip=lan0\n"
                << "http_port=5000\n"
                << "enable_natpmp=yes\n"
                << (router_ == TRouter::NatPmpOnly ? "enable_upnp=no\n" : "enable_upnp=yes\n")
                << "secure_mode=yes\n"
                << "system_uptime=no\n"
                << "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
                << "allow 1024-65535 192.168.50.0/24 1024-65535\n"
                << "deny 0-65535 0.0.0.0/0 0-65535\n";
            StartDaemon();
        }
    } catch (...) {
        Remove();
        throw;
    }
}

TRouterLab::TRouterLab(TBadIgd bad) : TRouterLab(TRouter::NoUpnp) {
    const char* mode = bad == TBadIgd::Garbage ? "garbage"
                       : bad == TBadIgd::Huge  ? "huge"
                                               : "elsewhere";
    try {
        Must("ip netns exec " + Ns("router") + " sh -c 'python3 " + PORTMAP_FAKE_IGD + " " + mode +
             " 192.168.50.1 " + dir_ + "/requests >/dev/null 2>&1 &'");
        if (testsupport::PollUntil(
                [&] {
                    return Run("ip netns exec " + Ns("router") +
                               " ss -ltnH \"sport = :5000\" | grep -q LISTEN") == 0;
                },
                5000))
            return;
        throw std::runtime_error("router lab: the bad router did not start");
    } catch (...) {
        Remove();
        throw;
    }
}

std::string TRouterLab::BadIgdRequests() const {
    std::ifstream file(dir_ + "/requests");
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TRouterLab::~TRouterLab() {
    Remove();
}

void TRouterLab::StartDaemon() {
    Must("ip netns exec " + Ns("router") + " miniupnpd -f " + dir_ + "/miniupnpd.conf -P " + dir_ +
         "/miniupnpd.pid");
    // Ready once its HTTP port listens (its NAT-PMP port without UPnP).
    const std::string ready = router_ == TRouter::NatPmpOnly
                                  ? " ss -lunH \"sport = :5351\" | grep -q ."
                                  : " ss -ltnH \"sport = :5000\" | grep -q LISTEN";
    if (testsupport::PollUntil([&] { return Run("ip netns exec " + Ns("router") + ready) == 0; },
                               5000))
        return;
    throw std::runtime_error("router lab: miniupnpd did not start");
}

void TRouterLab::StopDaemon() {
    Run("kill $(cat " + dir_ + "/miniupnpd.pid)");
    testsupport::PollUntil([&] { return Run("kill -0 $(cat " + dir_ + "/miniupnpd.pid)") != 0; },
                           5000);
}

void TRouterLab::RestartDaemon() {
    StopDaemon();
    // What a power cut leaves: no forwarding rule at all.
    In("router", "iptables-legacy -t nat -F MINIUPNPD && iptables-legacy -F MINIUPNPD && "
                 "iptables-legacy -t nat -F MINIUPNPD-POSTROUTING");
    StartDaemon();
}

void TRouterLab::Remove() {
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
        Run("ip netns pids " + *it + " | xargs -r kill -9; ip netns del " + *it);
    namespaces_.clear();
    if (dir_.rfind("/tmp/parlora-routerlab-", 0) == 0) Run("rm -rf " + dir_);
}

void TRouterLab::NewNamespace(const std::string& name) {
    Must("ip netns add " + Ns(name));
    namespaces_.push_back(Ns(name));
    In(name, "ip link set lo up");
}

void TRouterLab::In(const std::string& name, const std::string& command) {
    Must("ip netns exec " + Ns(name) + " sh -c '" + command + "'");
}

void TRouterLab::AddHome(const std::string& name, int host) {
    NewNamespace(name);
    Must("ip link add eth0 netns " + Ns(name) + " type veth peer name p-" + name + " netns " +
         Ns("lan"));
    In("lan", "ip link set p-" + name + " master br0 up");
    In(name, "ip addr add " + HomeAddress(host) +
                 "/24 dev eth0 && ip link set eth0 up && ip route add default via 192.168.50.1");
}

void TRouterLab::AddOutside(const std::string& name, int host) {
    NewNamespace(name);
    Must("ip link add eth0 netns " + Ns(name) + " type veth peer name p-" + name + " netns " +
         Ns("wan"));
    In("wan", "ip link set p-" + name + " master br0 up");
    In(name, "ip addr add " + OutsideAddress(host) + "/24 dev eth0 && ip link set eth0 up");
}

std::string TRouterLab::RouterAddress() const {
    return "11.22.33.1";
}

std::vector<std::string> TRouterLab::Inside(const std::string& name) const {
    return {"/usr/bin/env", "ip", "netns", "exec", Ns(name)};
}

std::vector<int> TRouterLab::ForwardedPorts() {
    std::string rules = Output("ip netns exec " + Ns("router") +
                               " iptables-legacy -t nat -S MINIUPNPD 2>/dev/null");
    std::vector<int> ports;
    std::regex dport("--dport ([0-9]+)");
    for (std::sregex_iterator it(rules.begin(), rules.end(), dport), end; it != end; ++it)
        ports.push_back(std::stoi((*it)[1]));
    return ports;
}
