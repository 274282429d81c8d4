// Test entry for layers without Qt: a private settings folder, then the tests.
#include "TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testsupport::TempDir settings;
    ::setenv("PARLORA_REGISTRY_DIR", settings.Path().c_str(), 1);
    // Run by hand as under CTest: programs the tests start must not ask the
    // machine's own router for a port (a test that wants it says so).
    ::setenv("PARLORA_PORTMAP", "0", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
