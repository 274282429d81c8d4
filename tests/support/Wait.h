#pragma once
// The tests' one way to wait for a condition: block until it holds or a
// deadline passes, and say which. Both return the condition's last value.
#include <functional>

namespace testsupport {

// Qt tests: runs the event loop until `done` holds, asleep while no event
// comes, so a condition that events change is seen as soon as it holds.
// Objects a test let go with deleteLater go on each round, as a test
// waiting for a window to be gone expects. A condition no event announces
// (a file another process writes) is looked at again every `recheckMs`.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 15000, int recheckMs = 0);

// Tests without an event loop, for a condition only another process
// changes (a server that starts listening): looks every `everyMs`. What a
// thread of the test changes is waited for on its condition variable.
bool PollUntil(const std::function<bool()>& done, int timeoutMs, int everyMs = 50);

} // namespace testsupport
