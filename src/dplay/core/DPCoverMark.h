#pragma once
// Coverage marks: a branch that a test is named after says so, and the test
// asserts it was taken, so a scenario that drifts past its branch fails
// instead of passing for another reason. A mark costs one relaxed increment.
#include <atomic>
#include <cstdint>
#include <string_view>

namespace dplay::cover {

struct TMark {
    explicit TMark(std::string_view name);
    std::string_view Name;
    std::atomic<uint64_t> Hits{0};
    TMark* Next = nullptr;
};

// How often the mark `name` was taken in this process so far (0 for a name
// no code has reached yet).
uint64_t Hits(std::string_view name);

} // namespace dplay::cover

#define DP_COVER(name)                                                                             \
    do {                                                                                           \
        static ::dplay::cover::TMark dpCoverMark_{name};                                           \
        dpCoverMark_.Hits.fetch_add(1, std::memory_order_relaxed);                                 \
    } while (false)
