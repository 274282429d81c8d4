#pragma once
#include <chrono>
#include <initializer_list>

namespace dplay {

// An auto-reset event: Set wakes one wait, which resets it. It can be waited
// on together with other events (the receive thread waits for "message
// queued" or "stop"). Backed by an eventfd, so waiting never spins.
class TDPEvent {
  public:
    TDPEvent();
    ~TDPEvent();
    TDPEvent(const TDPEvent&) = delete;
    TDPEvent& operator=(const TDPEvent&) = delete;

    void Set();
    void Reset();
    // Waits for this event alone; false on timeout (timeoutMs < 0: none).
    bool Wait(int timeoutMs = -1);

    // Waits until one of the events is set, resets it and returns its index;
    // -1 on timeout or failure. Earlier events win when several are set.
    static int WaitAny(std::initializer_list<TDPEvent*> events, int timeoutMs = -1);

  private:
    int fd_;
};

} // namespace dplay
