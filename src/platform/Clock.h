#pragma once
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the
// multimedia timer the transfer timing was designed against.
uint32_t TimeGetTime();

} // namespace platform
