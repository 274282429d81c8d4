#pragma once
// Waiting on the GUI thread while windows stay alive: the caller's condition
// is tested after every batch of events, and between batches the thread sleeps
// in the event loop until something happens (socket readiness, a timer, input,
// a posted event). Nothing spins.
#include <functional>

namespace platform {

// Processes events until `done()` is true. With timeoutMs >= 0, also returns
// when that many milliseconds have passed; returns done() at the end.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = -1);

// Processes the events already waiting, without blocking (the
// ProcessMessages of handlers that want the screen to catch up).
void ProcessMessages();

} // namespace platform
