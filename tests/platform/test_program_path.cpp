#include "platform/ProgramPath.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace platform;
namespace fs = std::filesystem;

namespace {

// Points XDG_DATA_HOME at a folder of the test's own for its lifetime.
struct DataHome {
    testsupport::TempDir dir;
    std::string saved;
    bool had = false;
    DataHome() {
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            had = true;
            saved = old;
        }
        setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);
    }
    ~DataHome() {
        if (had)
            setenv("XDG_DATA_HOME", saved.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
    }
};

} // namespace

TEST(ProgramPath, FilesOfABuiltProgramStayBesideIt) {
    DataHome home;
    testsupport::TempDir tree;
    fs::create_directories(tree / "src" / "app");
    EXPECT_EQ(WritableBeside(tree / "src" / "app", "parlora.ini"),
              tree / "src" / "app" / "parlora.ini");
}

TEST(ProgramPath, AnInstalledProgramWritesToTheUsersDataFolderEvenWhereItCouldWriteBesideItself) {
    DataHome home;
    testsupport::TempDir prefix;
    fs::create_directories(prefix / "bin");
    fs::create_directories(InstalledDataDir(prefix / "bin"));
    EXPECT_EQ(InstalledDataDir(prefix / "bin"), prefix / "share" / "parlora");
    // The bin folder is writable here (as /usr/bin is for root).
    auto file = WritableBeside(prefix / "bin", "Tmp.txt");
    EXPECT_EQ(file, home.dir / "parlora" / "Tmp.txt");
    EXPECT_TRUE(fs::is_directory(home.dir / "parlora"));
}
