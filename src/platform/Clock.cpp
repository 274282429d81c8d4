#include "Clock.h"

#include <chrono>

namespace platform {

uint32_t TimeGetTime() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

} // namespace platform
