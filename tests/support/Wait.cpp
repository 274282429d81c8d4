#include "Wait.h"

#include <chrono>
#include <thread>

namespace testsupport {

bool PollUntil(const std::function<bool()>& done, int timeoutMs, int everyMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
    }
    return true;
}

} // namespace testsupport
