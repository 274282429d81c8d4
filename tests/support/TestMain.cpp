// Test entry: a QApplication (offscreen under CTest) so widget and event-loop
// code runs for real, and a private settings folder so no test touches the
// user's own settings.
#include "TempDir.h"

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testsupport::TempDir settings;
    ::setenv("PARLORA_REGISTRY_DIR", settings.Path().c_str(), 1);
    // Run by hand as under CTest: programs the tests start must not ask the
    // machine's own router for a port (a test that wants it says so).
    ::setenv("PARLORA_PORTMAP", "0", 0);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
