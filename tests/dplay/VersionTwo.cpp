// The rooms of these tests run on the version 2 core, each member at
// 127.0.0.1. Set before any service of this process starts: it reads the
// switch once.
#include <cstdlib>

namespace {
const bool kVersionTwo = [] {
    ::setenv("PARLORA_ROOM_CORE", "1", 1);
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    return true;
}();
} // namespace
