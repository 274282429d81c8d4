// Known hosts on a real file: first time, same, changed, remembered; the
// file as outside input; the warning texts.
#include "identity/KnownHosts.h"
#include "identity/Texts.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace {

using identity::TFingerprint;
using identity::TKnownHosts;
using identity::TTrust;
namespace fs = std::filesystem;

TFingerprint Fp(uint8_t seed) {
    TFingerprint f;
    for (size_t i = 0; i < f.Bytes.size(); ++i) f.Bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return f;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

mode_t ModeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(KnownHostAddress, HostAsTypedInOneCaseWithItsPort) {
    EXPECT_EQ(identity::KnownHostAddress("Friend.Example.NET", 47624), "friend.example.net:47624");
    EXPECT_EQ(identity::KnownHostAddress("192.168.0.5", 2300), "192.168.0.5:2300");
    EXPECT_EQ(identity::KnownHostAddress("2001:db8::5", 47624), "[2001:db8::5]:47624");
    EXPECT_EQ(identity::KnownHostAddress("192.168.0.5", 0), "192.168.0.5");
}

class KnownHostsFile : public ::testing::Test {
  protected:
    testsupport::TempDir dir_;
    TKnownHosts hosts_{dir_ / "known_hosts"};
};

TEST_F(KnownHostsFile, FirstTimeThenSameThenChangedUntilTheNewKeyIsRemembered) {
    const std::string at = "host.example:47624";
    EXPECT_EQ(hosts_.Check(at, Fp(1)).Result, TTrust::FirstTime); // no file yet
    ASSERT_EQ(hosts_.Remember(at, Fp(1)), "");
    EXPECT_EQ(ModeOf(hosts_.File()), 0600u);

    auto same = hosts_.Check(at, Fp(1));
    EXPECT_EQ(same.Result, TTrust::Same);
    EXPECT_FALSE(same.Old);
    auto changed = hosts_.Check(at, Fp(2));
    EXPECT_EQ(changed.Result, TTrust::Changed);
    EXPECT_EQ(changed.Old, Fp(1));
    // Another address, or the same host at another port, is its own entry.
    EXPECT_EQ(hosts_.Check("host.example:2300", Fp(1)).Result, TTrust::FirstTime);
    ASSERT_EQ(hosts_.Remember("192.0.2.1:47624", Fp(3)), "");

    // The user accepted the change.
    ASSERT_EQ(hosts_.Remember(at, Fp(2)), "");
    EXPECT_EQ(hosts_.Check(at, Fp(2)).Result, TTrust::Same);
    EXPECT_EQ(hosts_.Check(at, Fp(1)).Result, TTrust::Changed);
    EXPECT_EQ(hosts_.Check("192.0.2.1:47624", Fp(3)).Result, TTrust::Same);
    EXPECT_EQ(testsupport::ReadWholeFile(hosts_.File()),
              at + " " + Fp(2).Full() + "\n192.0.2.1:47624 " + Fp(3).Full() + "\n");
}

TEST_F(KnownHostsFile, LinesThatAreNotEntriesAreSkippedButKeptAcrossARewrite) {
    const std::string other = "other.example:47624 " + Fp(9).Full();
    const std::string kept[] = {
        "# hosts I trust",
        "",
        "not an entry",
        std::string("binary\0\xff\x01 line", 15),
        "host.example:47624 " + Fp(1).Full().substr(3), // short fingerprint
        "host.example:47624  " + Fp(1).Full(),          // two blanks
        "host.example:47624 " + Fp(1).Full() + " extra",
        "host.example:47624 " + Fp(1).Full() + "\r", // a line end from elsewhere
        other,
    };
    std::string text;
    for (const auto& line : kept) text += line + "\n";
    text += "host.example:47624 " + Fp(1).Full() + "\n";
    text += "host.example:47624 " + Fp(5).Full(); // a second entry, no line end
    WriteFile(hosts_.File(), text);

    // Malformed lines are not entries; the first valid one counts.
    EXPECT_EQ(hosts_.Check("host.example:47624", Fp(1)).Result, TTrust::Same);
    EXPECT_EQ(hosts_.Check("other.example:47624", Fp(9)).Result, TTrust::Same);
    EXPECT_EQ(hosts_.Check("not", Fp(9)).Result, TTrust::FirstTime);

    ASSERT_EQ(hosts_.Remember("host.example:47624", Fp(2)), "");
    std::string expected;
    for (const auto& line : kept) expected += line + "\n";
    expected += "host.example:47624 " + Fp(2).Full() + "\n";
    EXPECT_EQ(testsupport::ReadWholeFile(hosts_.File()), expected);

    ASSERT_EQ(hosts_.Remember("new.example:1", Fp(4)), "");
    EXPECT_EQ(testsupport::ReadWholeFile(hosts_.File()),
              expected + "new.example:1 " + Fp(4).Full() + "\n");
}

TEST_F(KnownHostsFile, RewriteMakesAReadableFilePrivate) {
    WriteFile(hosts_.File(), "a.example:1 " + Fp(1).Full() + "\n");
    ASSERT_EQ(::chmod(hosts_.File().c_str(), 0644), 0);
    ASSERT_EQ(hosts_.Remember("b.example:1", Fp(2)), "");
    EXPECT_EQ(ModeOf(hosts_.File()), 0600u);
    EXPECT_EQ(hosts_.Check("a.example:1", Fp(1)).Result, TTrust::Same);
}

TEST_F(KnownHostsFile, FileBeyondTheBoundIsNeitherTrustedNorRewritten) {
    std::string line = "host.example:47624 " + Fp(1).Full() + "\n";
    std::string big = line;
    while (big.size() <= identity::kMaxKnownHostsBytes) big += "# padding padding padding\n";
    WriteFile(hosts_.File(), big);
    auto check = hosts_.Check("host.example:47624", Fp(1));
    EXPECT_EQ(check.Result, TTrust::Unreadable);
    EXPECT_FALSE(check.Error.empty());
    EXPECT_NE(hosts_.Remember("host.example:47624", Fp(2)), "");
    EXPECT_EQ(testsupport::ReadWholeFile(hosts_.File()), big);

    // At the bound exactly it is read; an entry that would pass it is refused.
    std::string full = line + std::string(identity::kMaxKnownHostsBytes - line.size() - 1, '#') + "\n";
    ASSERT_EQ(full.size(), identity::kMaxKnownHostsBytes);
    WriteFile(hosts_.File(), full);
    EXPECT_EQ(hosts_.Check("host.example:47624", Fp(1)).Result, TTrust::Same);
    EXPECT_NE(hosts_.Remember("new.example:1", Fp(2)), "");
    EXPECT_EQ(testsupport::ReadWholeFile(hosts_.File()), full);
}

TEST_F(KnownHostsFile, RefusesAddressesThatWouldBreakTheFileAndAFolderInItsPlace) {
    for (std::string bad : {std::string(), std::string("a b:1"), std::string("a\nb:1"),
                            std::string("a\tb"), std::string(identity::kMaxKnownHostAddress + 1, 'a')}) {
        EXPECT_NE(hosts_.Remember(bad, Fp(1)), "") << bad;
    }
    EXPECT_FALSE(fs::exists(hosts_.File()));
    // Something that is no file in its place (we run as root: modes do not stop us).
    fs::create_directory(hosts_.File());
    EXPECT_EQ(hosts_.Check("a:1", Fp(1)).Result, TTrust::Unreadable);
    EXPECT_NE(hosts_.Remember("a:1", Fp(1)), "");
}

TEST_F(KnownHostsFile, ConcurrentRemembersKeepEveryEntry) {
    constexpr int kThreads = 6, kEach = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            TKnownHosts mine(hosts_.File()); // as another process would
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(mine.Remember("h" + std::to_string(t) + "-" + std::to_string(i) + ":1",
                                        Fp(uint8_t(t * kEach + i))),
                          "");
        });
    for (auto& th : threads) th.join();
    auto lines = identity::ParseKnownHosts(testsupport::ReadWholeFile(hosts_.File()));
    EXPECT_EQ(lines.size(), size_t(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(identity::FindKnownHost(lines, "h" + std::to_string(t) + "-" +
                                                         std::to_string(i) + ":1"),
                      Fp(uint8_t(t * kEach + i)));
}

TEST(KeyChangedTexts, SayWhereWhatChangedAndWhatEnteringMeans) {
    TFingerprint old = Fp(1), now = Fp(2);
    for (const std::string& text :
         {identity::KeyChangedWarning("host.example:47624", old, now),
          identity::KeyChangedEnglish("host.example:47624", old, now)}) {
        EXPECT_NE(text.find("host.example:47624"), std::string::npos) << text;
        size_t o = text.find(old.Short()), n = text.find(now.Short());
        EXPECT_NE(o, std::string::npos) << text;
        EXPECT_NE(n, std::string::npos) << text;
        EXPECT_LT(o, n); // the old key first
    }
    std::string ja = identity::KeyChangedWarning("h:1", old, now);
    for (const char* word : {"攻撃", "入れ直", "信頼"})
        EXPECT_NE(ja.find(word), std::string::npos) << word;
    std::string en = identity::KeyChangedEnglish("h:1", old, now);
    for (const char* word : {"attack", "reinstalled", "trusts the new key"})
        EXPECT_NE(en.find(word), std::string::npos) << word;
}

} // namespace
