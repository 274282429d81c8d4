#pragma once
// A random port for a test's rooms, below the kernel's range of ephemeral
// ports: there, the local end of any connection on the machine (other tests
// run at the same time) could hold the port the test is about to listen on.
#include <cstdint>
#include <fstream>
#include <random>

namespace testsupport {

inline uint16_t FreshPort() {
    static std::mt19937 rng{std::random_device{}()};
    static const unsigned low = [] {
        unsigned first = 32768, last = 60999;
        std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> first >> last;
        return first > 12000 ? first : 32768u;
    }();
    constexpr unsigned kLowest = 10000;
    return static_cast<uint16_t>(kLowest + rng() % (low - kLowest));
}

} // namespace testsupport
