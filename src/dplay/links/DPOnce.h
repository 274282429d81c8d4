#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace dplay {

// A result handed from the I/O thread to a caller that waits for it with a
// time limit. The first Set wins; later ones are ignored.
template <class T> class TDPOnce {
  public:
    void Set(T value) {
        {
            std::lock_guard lock(m_);
            if (value_) return;
            value_ = std::move(value);
        }
        cv_.notify_all();
    }
    std::optional<T> Wait(int timeoutMs) {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return value_.has_value(); });
        return value_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

} // namespace dplay
