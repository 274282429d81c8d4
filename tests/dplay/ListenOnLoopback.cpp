// Every member of these tests listens and dials at 127.0.0.1. Set before any
// service of this process starts: it reads the address when it starts.
#include <cstdlib>

namespace {
const bool kListenOnLoopback = [] {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    return true;
}();
} // namespace
