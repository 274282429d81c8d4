#include "NetLab.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every lab namespace is "pl<pid>-<lab>-<machine>".
constexpr const char* kMark = "pl";

bool Found(const char* program) {
    return TNetLab::Run(std::string("command -v ") + program) == 0;
}

} // namespace

int TNetLab::Run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TNetLab::Must(const std::string& command) {
    if (Run(command) != 0) throw std::runtime_error("network lab: failed: " + command);
}

namespace {

// The entries "<mark><pid>-..." in a folder whose process is gone.
std::vector<std::string> StaleEntries(const char* folder, const std::string& mark) {
    std::vector<std::string> stale;
    DIR* dir = ::opendir(folder);
    if (!dir) return stale;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind(mark, 0) != 0) continue;
        char* end = nullptr;
        long pid = std::strtol(name.c_str() + mark.size(), &end, 10);
        if (pid <= 0 || *end != '-') continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    ::closedir(dir);
    return stale;
}

} // namespace

void TNetLab::SweepLeftovers(const std::string& mark) {
    for (auto& name : StaleEntries("/run/netns", mark))
        Run("ip netns pids " + name + " | xargs -r kill -9; ip netns del " + name);
    // Hosts files too, also where the namespace itself went another way.
    for (auto& name : StaleEntries("/etc/netns", mark))
        Run("rm -rf /etc/netns/" + name);
}

std::string TNetLab::Unavailable() {
    if (::geteuid() != 0) return "network namespaces need root";
    if (!Found("ip")) return "ip (iproute2) is not installed";
    if (!Found("iptables")) return "iptables is not installed";
    return {};
}

TNetLab::TNetLab() {
    static std::atomic<int> labs{0};
    prefix_ = kMark + std::to_string(::getpid()) + "-" + std::to_string(++labs) + "-";
    SweepLeftovers(kMark);
    try {
        NewNamespace("wan");
        // Without snooping the bridge floods multicast, so IPv6 neighbours
        // find each other with no querier on the network.
        In("wan", "ip link add br0 type bridge mcast_snooping 0 && ip link set br0 up");
    } catch (...) {
        Remove();
        throw;
    }
}

TNetLab::~TNetLab() {
    Remove();
}

void TNetLab::Remove() {
    // Programs still inside go first, or a namespace would outlive its name.
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
        Run("ip netns pids " + *it + " | xargs -r kill -9; ip netns del " + *it +
            "; rm -rf /etc/netns/" + *it);
    namespaces_.clear();
}

void TNetLab::NewNamespace(const std::string& name) {
    Must("ip netns add " + Ns(name));
    namespaces_.push_back(Ns(name));
    In(name, "ip link set lo up");
}

void TNetLab::In(const std::string& name, const std::string& command) {
    Must("ip netns exec " + Ns(name) + " sh -c '" + command + "'");
}

void TNetLab::Wire(const std::string& a, const std::string& aIf, const std::string& b,
                   const std::string& bIf) {
    // Made inside the namespaces at once: no name is ever taken in the machine's own.
    Must("ip link add " + aIf + " netns " + Ns(a) + " type veth peer name " + bIf + " netns " +
         Ns(b));
}

void TNetLab::AddPublic(const std::string& name, int host, TFamily family) {
    NewNamespace(name);
    Wire(name, "eth0", "wan", "p-" + name);
    In("wan", "ip link set p-" + name + " master br0 up");
    if (family == TFamily::IPv4) {
        In(name, "sysctl -qw net.ipv6.conf.eth0.disable_ipv6=1");
    } else {
        // No duplicate address detection, for the link-local address too: the
        // addresses are usable at once, with nothing to wait for.
        In(name, "sysctl -qw net.ipv6.conf.eth0.accept_dad=0 && ip -6 addr add " +
                     PublicAddress6(host) + "/64 dev eth0 nodad");
    }
    if (family != TFamily::IPv6) In(name, "ip addr add " + PublicAddress(host) + "/24 dev eth0");
    In(name, "ip link set eth0 up");
    // A tentative address would refuse to be bound or dialled from.
    In(name, "test -z \"$(ip -6 addr show tentative)\"");
}

void TNetLab::SetHosts(const std::string& name, const std::string& lines) {
    const std::string dir = "/etc/netns/" + Ns(name);
    Must("mkdir -p " + dir);
    std::ofstream out(dir + "/hosts");
    out << "127.0.0.1 localhost\n::1 localhost\n" << lines << "\n";
    if (!out.flush()) throw std::runtime_error("network lab: cannot write " + dir + "/hosts");
}

void TNetLab::AddBehindNat(const std::string& name, int routerHost) {
    const std::string router = name + "-r";
    AddPublic(router, routerHost);
    NewNamespace(name);
    Wire(name, "eth0", router, "lan0");
    In(router, "ip addr add 192.168.1.1/24 dev lan0 && ip link set lan0 up && "
               "sysctl -qw net.ipv4.ip_forward=1 && "
               "iptables -t nat -A POSTROUTING -o eth0 -j MASQUERADE");
    In(name, "ip addr add " + PrivateAddress() +
                 "/24 dev eth0 && ip link set eth0 up && ip route add default via 192.168.1.1");
}

void TNetLab::Cut(const std::string& name, bool cut) {
    // The machine's port on the bridge, or its router's: a cable pulled upstream.
    std::string port = "p-" + name;
    if (Run("ip netns exec " + Ns("wan") + " ip link show " + port) != 0) port = "p-" + name + "-r";
    In("wan", "ip link set " + port + (cut ? " down" : " up"));
}

std::vector<std::string> TNetLab::Inside(const std::string& name) const {
    return {"/usr/bin/env", "ip", "netns", "exec", Ns(name)};
}
