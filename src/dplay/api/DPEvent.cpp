#include "dplay/api/DPEvent.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace dplay {

TDPEvent::TDPEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

TDPEvent::~TDPEvent() {
    ::close(fd_);
}

void TDPEvent::Set() {
    uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TDPEvent::Reset() {
    uint64_t value;
    while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool TDPEvent::Wait(int timeoutMs) {
    return WaitAny({this}, timeoutMs) == 0;
}

int TDPEvent::WaitAny(std::initializer_list<TDPEvent*> events, int timeoutMs) {
    std::vector<pollfd> fds;
    for (TDPEvent* e : events)
        fds.push_back(pollfd{e->fd_, POLLIN, 0});
    for (;;) {
        int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            uint64_t value;
            // Another waiter may have taken it meanwhile; then wait again.
            if (::read(fds[i].fd, &value, sizeof value) == sizeof value) return static_cast<int>(i);
        }
    }
}

} // namespace dplay
