#include "TThreadTimer.h"

#include "platform/ErrorHandler.h"
#include "platform/Exception.h"

#include <climits>

namespace net {

TThreadTimer::TThreadTimer() : timer_(std::make_unique<QTimer>()) {
    // A time-out must not fire early, as a coarse timer may.
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Fire(); });
}

TThreadTimer::~TThreadTimer() {
    enabled_ = false;
    Rearm();
}

void TThreadTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Rearm();
}

void TThreadTimer::SetInterval(uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    Rearm();
}

void TThreadTimer::SetOnTimer(TTimerEvent handler) {
    onTimer_ = std::move(handler);
    Rearm();
}

void TThreadTimer::Rearm() {
    timer_->stop();
    if (interval_ == 0 || !enabled_ || !onTimer_) return;
    // QTimer takes a signed millisecond count; anything larger cannot be set.
    if (interval_ > static_cast<uint32_t>(INT_MAX)) throw platform::Exception("No Timer");
    timer_->start(static_cast<int>(interval_));
}

void TThreadTimer::Fire() {
    // A copy: the handler may replace itself or switch the timer off.
    TTimerEvent handler = onTimer_;
    if (handler) platform::Guarded([&] { handler(this); });
}

} // namespace net
