#pragma once
// A socket that listens and never says a word: a host or server that hangs
// (connections are made, nothing ever answers), or another program holding
// a port.
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

class TSilentListener {
  public:
    // On `address` (host order) and `port` (0: one the kernel picks). With a
    // backlog of 0 the queue is full at once and later handshakes never end.
    explicit TSilentListener(uint32_t address = INADDR_LOOPBACK, uint16_t port = 0,
                             int backlog = 8) {
        if (fd_ < 0) return;
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(address);
        socklen_t len = sizeof at;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), len) != 0 ||
            ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len) != 0)
            return;
        port_ = ntohs(at.sin_port);
    }
    ~TSilentListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;

    bool Ok() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    // For a caller that serves the connections itself after all (the
    // benchmark's raw relay); the socket stays this object's.
    int Fd() const { return fd_; }

  private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port_ = 0;
};

} // namespace testsupport
