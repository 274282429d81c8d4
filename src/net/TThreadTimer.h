#pragma once
// The time-out timer of a socket: a periodic timer on the GUI thread that is
// re-armed whenever Enabled, Interval or OnTimer change. Its owner makes it
// one-shot by switching it off in the handler.
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

namespace net {

class TThreadTimer;
using TTimerEvent = std::function<void(TThreadTimer* Sender)>;

class TThreadTimer {
  public:
    TThreadTimer();
    ~TThreadTimer();
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t value);
    const TTimerEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TTimerEvent handler);
    // True while the underlying timer runs.
    bool Armed() const { return timer_->isActive(); }

  private:
    void Rearm();
    void Fire();

    bool enabled_ = true;
    uint32_t interval_ = 1000;
    TTimerEvent onTimer_;
    std::unique_ptr<QTimer> timer_;
};

} // namespace net
