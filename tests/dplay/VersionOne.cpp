// The raw peers and fake hosts of these tests speak version 1: the service
// of this process must too. Set before any service starts.
#include <cstdlib>

namespace {
const bool kVersionOne = [] {
    ::setenv("PARLORA_ROOM_CORE", "0", 1);
    return true;
}();
} // namespace
