#include "platform/Cp932.h"
#include "platform/RegStore.h"
#include "platform/TRegistry.h"
#include "support/Sjis.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using testsupport::TempDir;

using testsupport::Sjis;

namespace {

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Each test gets its own settings folder, so RegStore::For sees a fresh file.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PARLORA_REGISTRY_DIR", dir.Path().c_str(), 1); }
    std::filesystem::path LocalMachineFile() const { return dir / "HKEY_LOCAL_MACHINE.reg"; }
    TempDir dir;
};

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ERegistryException& e) {
        return Cp932ToUtf8(e.Message);
    }
    return "(no error)";
}

} // namespace

TEST_F(RegistryTest, TypedValuesRoundTripAndAreStoredAsTheirTypes) {
    TRegistry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\Notify", true));
    reg.WriteBool("Notify", true);
    reg.WriteInteger("neg", -5);
    AnsiString tricky = Sjis("表示\\ソフト \"能\" ①～");
    reg.WriteString("ftpdir", tricky);
    reg.WriteString("lines", "a\r\nb");
    reg.WriteExpandString("exp", "%HOME%");
    reg.WriteBinaryData("bin", std::string("\0\1\xff", 3));
    reg.CloseKey();

    // A second store object on the same file reads what is on disk, as a new process would.
    RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
    auto v = fresh.QueryValue("SOFTWARE\\Parlora3\\Notify", "Notify");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Type, REG_DWORD);
    EXPECT_EQ(fresh.QueryValue("software\\parlora3\\notify", "FTPDIR")->Data, tricky);
    EXPECT_EQ(fresh.QueryValue("SOFTWARE\\Parlora3\\Notify", "lines")->Data, "a\r\nb");

    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\Notify", false));
    EXPECT_TRUE(reg.ReadBool("Notify"));
    EXPECT_EQ(reg.ReadInteger("neg"), -5);
    EXPECT_EQ(reg.ReadString("ftpdir"), tricky);
    EXPECT_EQ(reg.ReadString("exp"), "%HOME%"); // taken literally
    EXPECT_EQ(reg.ReadBinaryData("bin"), std::string("\0\1\xff", 3));
    EXPECT_EQ(reg.GetDataType("exp"), REG_EXPAND_SZ);

    struct stat st {};
    ASSERT_EQ(::stat(LocalMachineFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the file holds the FTP password
}

TEST_F(RegistryTest, ReadAndWriteFailuresCarryTheirTexts) {
    TRegistry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", true));
    reg.WriteString("s", "text");
    reg.WriteInteger("n", 0);
    EXPECT_EQ(ErrorOf([&] { reg.ReadBool("main_K2"); }), "'main_K2' の取得に失敗しました");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("s"); }), "'s' のデータ型が不正です");
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("n"); }), "'n' のデータ型が不正です");
    EXPECT_EQ(reg.ReadString("missing"), ""); // a missing string is no failure
    EXPECT_FALSE(reg.ReadBool("n"));
    reg.CloseKey();
    EXPECT_EQ(ErrorOf([&] { reg.WriteBool("x", true); }), "'x' の設定に失敗しました");

    // Any non-zero number reads as true.
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", false));
    reg.WriteInteger("n", 7);
    EXPECT_TRUE(reg.ReadBool("n"));
}

TEST_F(RegistryTest, OpenWithoutCreateDoesNotCreateAndRelativePathsNest) {
    TRegistry reg(RegRoot::LocalMachine);
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE\\Parlora3", false));
    EXPECT_FALSE(reg.KeyExists("\\SOFTWARE\\Parlora3"));
    EXPECT_FALSE(std::filesystem::exists(LocalMachineFile()));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE", true));
    ASSERT_TRUE(reg.OpenKey("Parlora3", true)); // relative to the open key
    EXPECT_EQ(reg.CurrentPath(), "\\SOFTWARE\\Parlora3");
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\Parlora3"));
    // The two roots are separate files.
    TRegistry user(RegRoot::CurrentUser);
    EXPECT_FALSE(user.KeyExists("\\SOFTWARE\\Parlora3"));
}

TEST_F(RegistryTest, EnumerationKeepsWriteOrderAndDeleteRemovesTheTree) {
    TRegistry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\handles", true));
    for (const char* n : {"2", "0", "x", "1"})
        reg.WriteString(n, n);
    reg.WriteString("0", "again"); // rewriting keeps the place
    EXPECT_EQ(reg.GetValueNames(), (std::vector<AnsiString>{"2", "0", "x", "1"}));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\b\\deep\\deeper", true));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\a", true));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<AnsiString>{"handles", "b", "a"}));
    EXPECT_TRUE(reg.HasSubKeys());

    EXPECT_TRUE(reg.DeleteKey("\\SOFTWARE\\Parlora3\\b"));
    EXPECT_FALSE(reg.KeyExists("\\SOFTWARE\\Parlora3\\b\\deep"));
    EXPECT_FALSE(reg.DeleteKey("\\SOFTWARE\\Parlora3\\b"));
    auto info = RegStore::For(RegRoot::LocalMachine).KeyInfo("SOFTWARE\\Parlora3\\handles");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->Values, 4u);
    EXPECT_EQ(info->MaxValueLen, 6u); // "again" and its terminator
}

TEST_F(RegistryTest, JapaneseKeyNamesWithBackslashBytesStayWhole) {
    TRegistry reg(RegRoot::CurrentUser);
    AnsiString key = "\\SOFTWARE\\" + Sjis("表ソ");
    ASSERT_TRUE(reg.OpenKey(key, true));
    reg.WriteString(Sjis("能"), Sjis("値"));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<AnsiString>{Sjis("表ソ")}));
    RegStore fresh(dir / "HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER");
    EXPECT_EQ(fresh.QueryValue("SOFTWARE\\" + Sjis("表ソ"), Sjis("能"))->Data, Sjis("値"));
}

TEST_F(RegistryTest, DamagedFilesLoadWhatTheyCanAndAreKeptBeforeReplacement) {
    std::string longLine = "\"huge\"=\"" + std::string(2u << 20, 'x') + "\"\r\n";
    std::string text = "REGEDIT4\r\n\"orphan\"=\"before any key\"\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3]\r\n"
                       "\"main_K2\"=dword:00000001\r\n"
                       "\"bad\"=dword:zz\r\n" +
                       longLine +
                       "garbage \x01\x02\xff line\r\n"
                       "\"exp\"=hex(2):25,00,41,\\\r\n"
                       "  00\r\n"
                       "@=\"default\"\r\n"
                       "[HKEY_CURRENT_USER\\Elsewhere]\r\n"
                       "\"x\"=\"y\"\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3\\Notify]\r\n"
                       "\"ftpdir\"=\"pub\"\r\n"
                       "\"cut\"=\"unterminated";
    WriteFile(LocalMachineFile(), text);

    TRegistry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", false));
    EXPECT_TRUE(reg.ReadBool("main_K2"));
    EXPECT_FALSE(reg.ValueExists("bad"));
    EXPECT_FALSE(reg.ValueExists("huge"));
    EXPECT_EQ(reg.ReadString("exp"), "%");
    EXPECT_EQ(reg.ReadString(""), "default");
    ASSERT_TRUE(reg.OpenKey("Notify", false));
    EXPECT_EQ(reg.ReadString("ftpdir"), "pub");
    EXPECT_FALSE(reg.ValueExists("cut"));

    reg.WriteString("ftpdir", "new");
    EXPECT_EQ(ReadFile(dir / "HKEY_LOCAL_MACHINE.reg.damaged"), text);
    RegKey tree;
    EXPECT_EQ(ParseRegText(ReadFile(LocalMachineFile()), "HKEY_LOCAL_MACHINE", tree), 0u);

    // Pure binary garbage: nothing loads, nothing crashes.
    std::string junk;
    for (int i = 0; i < 100000; ++i)
        junk += static_cast<char>((i * 7919) & 0xFF);
    RegKey none;
    ParseRegText(junk, "HKEY_LOCAL_MACHINE", none);
    EXPECT_TRUE(none.SubKeys.empty());
}

TEST_F(RegistryTest, ValuesTooLargeToReadBackAreRefused) {
    TRegistry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", true));
    EXPECT_EQ(ErrorOf([&] { reg.WriteBinaryData("big", std::string(1u << 20, 'a')); }),
              "'big' の設定に失敗しました");
    reg.WriteBinaryData("fits", std::string(200000, 'a'));
    RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(fresh.QueryValue("SOFTWARE\\Parlora3", "fits")->Data.size(), 200000u);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    { TRegistry(RegRoot::LocalMachine).OpenKey("\\SOFTWARE\\Parlora3", true); }
    auto writer = [&](char tag) {
        pid_t pid = fork();
        if (pid == 0) {
            RegStore own(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
            int failures = 0;
            for (int i = 0; i < 150; ++i)
                if (!own.SetValue("SOFTWARE\\Parlora3", std::string(1, tag) + std::to_string(i),
                                  REG_SZ, std::string(100, tag)))
                    ++failures;
            _exit(failures);
        }
        return pid;
    };
    pid_t a = writer('a'), b = writer('b');
    for (pid_t p : {a, b}) {
        int status = 0;
        ASSERT_EQ(waitpid(p, &status, 0), p);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    RegKey tree;
    EXPECT_EQ(ParseRegText(ReadFile(LocalMachineFile()), "HKEY_LOCAL_MACHINE", tree), 0u);
    RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(fresh.ValueNames("SOFTWARE\\Parlora3")->size(), 300u);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesAWholeFile) {
    {
        TRegistry reg(RegRoot::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", true));
        reg.WriteString("marker", "kept");
    }
    for (int round = 0; round < 15; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            RegStore own(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
            for (int i = 0;; ++i)
                own.SetValue("SOFTWARE\\Parlora3", "blob" + std::to_string(i % 3), REG_BINARY,
                             std::string(150000, static_cast<char>(i)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round * 7));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        RegKey tree;
        ASSERT_EQ(ParseRegText(ReadFile(LocalMachineFile()), "HKEY_LOCAL_MACHINE", tree), 0u)
            << "round " << round;
        RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
        ASSERT_EQ(fresh.QueryValue("SOFTWARE\\Parlora3", "marker")->Data, "kept");
    }
}

TEST_F(RegistryTest, ABatchWritesOnceAndOthersSeeItAllAfterCommit) {
    {
        TRegistryBatch batch(RegRoot::LocalMachine);
        TRegistry reg(RegRoot::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\handles", true));
        for (int i = 0; i < 1000; ++i)
            reg.WriteString(std::to_string(i), "name" + std::to_string(i));
        EXPECT_EQ(reg.ReadString("999"), "name999"); // visible in this process at once
        EXPECT_FALSE(std::filesystem::exists(LocalMachineFile())); // nothing written yet
        batch.Commit("handles");
    }
    RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
    auto names = fresh.ValueNames("SOFTWARE\\Parlora3\\handles");
    ASSERT_TRUE(names);
    EXPECT_EQ(names->size(), 1000u);
    EXPECT_EQ(names->back(), "999");
}

TEST_F(RegistryTest, TheStoreKeepsAnyStringAndRefusesWhatCannotReadBack) {
    RegStore& store = RegStore::For(RegRoot::LocalMachine);
    ASSERT_TRUE(store.CreateKey("SOFTWARE\\Parlora3\\handles"));
    const std::string lone("\x81\x22\x61", 3);
    ASSERT_TRUE(store.SetValue("SOFTWARE\\Parlora3\\handles", "0", REG_SZ, lone));
    ASSERT_TRUE(store.SetValue("SOFTWARE\\Parlora3\\handles", "\x81", REG_SZ, "one"));
    ASSERT_TRUE(store.SetValue("SOFTWARE\\Parlora3\\handles", "\x81", REG_SZ, "two"));
    RegStore fresh(LocalMachineFile(), "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(fresh.QueryValue("SOFTWARE\\Parlora3\\handles", "0")->Data, lone);
    // A name ending in a lone lead byte is found again, not added twice.
    EXPECT_EQ(fresh.ValueNames("SOFTWARE\\Parlora3\\handles")->size(), 2u);
    EXPECT_EQ(fresh.QueryValue("SOFTWARE\\Parlora3\\handles", "\x81")->Data, "two");

    EXPECT_FALSE(store.SetValue("SOFTWARE\\Parlora3\\handles", "a\nb", REG_SZ, "x"));
    EXPECT_FALSE(
        store.SetValue("SOFTWARE\\Parlora3\\handles", "z", REG_SZ, std::string("a\0b", 3)));
    EXPECT_FALSE(store.CreateKey("SOFTWARE\\a\r\nb"));
    EXPECT_EQ(fresh.ValueNames("SOFTWARE\\Parlora3\\handles")->size(), 2u);
}
