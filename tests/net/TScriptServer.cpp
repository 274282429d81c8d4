#include "TScriptServer.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {
namespace {

constexpr int DeadlineMs = 10000;

int ListenLoopback() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    return fd;
}

int LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool WaitFor(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, DeadlineMs) > 0;
}

int AcceptWithin(int listenFd) {
    if (!WaitFor(listenFd, POLLIN)) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace

TScriptServer::TScriptServer(std::function<void(TConn&)> script) {
    listenFd_ = ListenLoopback();
    port_ = LocalPort(listenFd_);
    thread_ = std::thread([this, script] {
        int fd = AcceptWithin(listenFd_);
        if (fd < 0) return;
        TConn conn(*this, fd);
        try {
            script(conn);
        } catch (...) {
        }
        conn.Close();
    });
}

TScriptServer::~TScriptServer() {
    Join();
    ::close(listenFd_);
}

void TScriptServer::Join() {
    if (thread_.joinable()) thread_.join();
}

void TScriptServer::Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(line);
}

std::vector<std::string> TScriptServer::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string TScriptServer::TConn::ReadLine() {
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (fd_ < 0 || !WaitFor(fd_, POLLIN)) return "";
        char buf[4096];
        long n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return "";
        pending_.append(buf, static_cast<size_t>(n));
    }
}

std::string TScriptServer::TConn::Expect() {
    std::string line = ReadLine();
    server_.Record(line);
    return line;
}

void TScriptServer::TConn::Send(const std::string& bytes) {
    size_t off = 0;
    while (fd_ >= 0 && off < bytes.size()) {
        long n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void TScriptServer::TConn::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (passiveFd_ >= 0) ::close(passiveFd_);
    passiveFd_ = -1;
}

int TScriptServer::TConn::OpenPassive() {
    passiveFd_ = ListenLoopback();
    return LocalPort(passiveFd_);
}

int TScriptServer::TConn::AcceptPassive() {
    return AcceptWithin(passiveFd_);
}

int TScriptServer::TConn::ConnectActive(const std::string& portArgument) {
    unsigned h1, h2, h3, h4, p1, p2;
    if (std::sscanf(portArgument.c_str(), "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
        return -1;
    if (h1 != 127) return -1; // loopback only
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl((h1 << 24) | (h2 << 16) | (h3 << 8) | h4);
    a.sin_port = htons(static_cast<uint16_t>(p1 * 256 + p2));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string TScriptServer::TConn::ReadAll(int fd) {
    std::string data;
    char buf[65536];
    while (fd >= 0 && WaitFor(fd, POLLIN)) {
        long n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

int OpenFdCount() {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace nettest
