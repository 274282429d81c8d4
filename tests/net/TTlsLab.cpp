#include "TTlsLab.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {
namespace fs = std::filesystem;

namespace {

bool Run(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TTestAuthority::TTestAuthority(const fs::path& dir, const std::string& name)
    : dir_(dir), name_(name) {
    fs::create_directories(dir_);
    const std::string key = (dir_ / (name_ + ".key")).string();
    if (!Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
             key + "' -out '" + CertFile().string() + "' -days 2 -subj '/CN=Parlora test " + name_ +
             "' -addext basicConstraints=critical,CA:TRUE -addext " +
             "keyUsage=critical,keyCertSign,cRLSign"))
        why_ = "openssl could not make a test authority";
}

std::string TTestAuthority::Issue(const std::string& file, const std::string& altNames) {
    const fs::path base = dir_ / file;
    const std::string key = base.string() + ".key", csr = base.string() + ".csr",
                      crt = base.string() + ".crt", ext = base.string() + ".ext";
    std::ofstream(ext) << "subjectAltName=" << altNames << "\nextendedKeyUsage=serverAuth\n";
    if (!Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" + key +
             "' -out '" + csr + "' -subj '/CN=parlora test server'") ||
        !Run("openssl x509 -req -in '" + csr + "' -CA '" + CertFile().string() + "' -CAkey '" +
             (dir_ / (name_ + ".key")).string() + "' -CAcreateserial -days 2 -out '" + crt +
             "' -extfile '" + ext + "'") ||
        !Run("cat '" + crt + "' '" + key + "' > '" + base.string() + "'"))
        return {};
    fs::permissions(base, fs::perms::owner_read | fs::perms::owner_write);
    return base.string();
}

void TTestAuthority::TrustOnlyThis() const {
    ::setenv("SSL_CERT_FILE", CertFile().c_str(), 1);
    ::setenv("SSL_CERT_DIR", dir_.c_str(), 1); // holds no hashed names: nothing from it
}

std::string OwnLoopbackAddress(int index) {
    // The index in one byte, the process in the other two: two test
    // processes at once never share one (unless their ids are 62500 apart).
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "127." + std::to_string(100 + index % 100) + "." +
           std::to_string((pid / 250) % 250 + 1) + "." + std::to_string(pid % 250 + 1);
}

TLoopbackCapture::TLoopbackCapture(const std::string& address) {
    ::inet_pton(AF_INET, address.c_str(), &address_);
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd_ < 0) {
        why_ = "no packet socket (root needed)";
        return;
    }
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        why_ = "cannot capture on lo";
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

TLoopbackCapture::~TLoopbackCapture() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

std::string TLoopbackCapture::Bytes() {
    // What is on its way through lo is seen within this pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> hold(lock_);
    return bytes_;
}

void TLoopbackCapture::Run() {
    std::string packet(70000, '\0');
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        sockaddr_ll from{};
        socklen_t len = sizeof from;
        long n = ::recvfrom(fd_, packet.data(), packet.size(), MSG_DONTWAIT,
                            reinterpret_cast<sockaddr*>(&from), &len);
        // Every packet on lo shows up going out and coming in; one is enough.
        if (n < static_cast<long>(sizeof(iphdr)) || from.sll_pkttype == PACKET_OUTGOING) continue;
        const auto* ip = reinterpret_cast<const iphdr*>(packet.data());
        const size_t ipLength = ip->ihl * 4u;
        if (ip->protocol != IPPROTO_TCP || (ip->saddr != address_ && ip->daddr != address_) ||
            static_cast<size_t>(n) < ipLength + sizeof(tcphdr))
            continue;
        const auto* tcp = reinterpret_cast<const tcphdr*>(packet.data() + ipLength);
        const size_t start = ipLength + tcp->doff * 4u;
        const size_t end = std::min<size_t>(static_cast<size_t>(n), ntohs(ip->tot_len));
        if (start >= end) continue;
        std::lock_guard<std::mutex> hold(lock_);
        bytes_.append(packet.data() + start, end - start);
    }
}

} // namespace nettest
