// Linked into a build of parlora-cli for the tests alone: its links carry
// frames in the clear, so that a test can show what an observer on the path
// would read without encryption. Set before main, so before the service starts.
#include "dplay/links/DPTls.h"

namespace {
const bool kPlainLinks = [] {
    dplay::SetPlainLinksForBenchmark(true);
    return true;
}();
} // namespace
