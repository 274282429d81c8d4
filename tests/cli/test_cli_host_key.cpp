// The host's key at an address, trusted on first use, between parlora-cli
// processes each with a settings folder (and so a key) of its own: the first
// entry remembers the host's key, a later host with another key at the same
// address is refused with the warning, and --accept-host-key enters.
#include "TCliProcess.h"
#include "identity/Identity.h"
#include "identity/KnownHosts.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliHostKey : public ::testing::Test {
  protected:
    // parlora-cli at `address` with the settings (and key) in `settings`.
    std::unique_ptr<TCliProcess> Start(const std::string& address,
                                       const testsupport::TempDir& settings,
                                       std::vector<const char*> list) {
        QStringList args;
        for (const char* a : list)
            args << QString::fromUtf8(a);
        args << "--port" << QString::number(port);
        TCliLaunch launch;
        launch.Environment.push_back({"PARLORA_REGISTRY_DIR", settings.Path().string()});
        return std::make_unique<TCliProcess>(address, args, TCliOutput::Read, launch);
    }
    std::unique_ptr<TCliProcess> StartHost(const testsupport::TempDir& settings) {
        auto host = Start("127.0.0.1", settings, {"--create", "r", "--handle", "h"});
        EXPECT_TRUE(host->WaitForLine("127.0.0.1:h さんが入室しました。")) << host->Stderr();
        return host;
    }
    std::unique_ptr<TCliProcess> StartMember(bool acceptHostKey = false) {
        std::vector<const char*> args = {"--join", "127.0.0.1", "--handle", "m"};
        if (acceptHostKey) args.push_back("--accept-host-key");
        return Start("127.0.0.2", memberSettings, args);
    }
    static identity::TFingerprint KeyOf(const testsupport::TempDir& settings) {
        auto id = identity::LoadOrCreateIdentity(settings / "identity.pem");
        EXPECT_FALSE(id.Created) << "the process made no key there";
        return *identity::FingerprintOf(id.Key.get());
    }
    std::optional<identity::TFingerprint> Remembered() const {
        return identity::FindKnownHost(
            identity::ParseKnownHosts(testsupport::ReadWholeFile(memberSettings / "known_hosts")),
            address);
    }
    static void Leave(TCliProcess& p) {
        p.CloseInput();
        EXPECT_EQ(p.WaitForExit(), 0) << p.Stderr();
    }

    const uint16_t port = FreshPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string arrival = "127.0.0.2:m さんが入室しました。";
    testsupport::TempDir firstHostSettings, secondHostSettings, memberSettings;
};

TEST_F(CliHostKey, AnotherHostKeyAtTheSameAddressIsRefusedWithTheWarningUnlessAccepted) {
    auto first = StartHost(firstHostSettings);
    {
        auto member = StartMember();
        ASSERT_TRUE(first->WaitForLine(arrival)) << member->Stderr();
        Leave(*member);
    }
    const identity::TFingerprint firstKey = KeyOf(firstHostSettings);
    ASSERT_EQ(Remembered(), firstKey);
    Leave(*first);

    // Another process, with another key, hosts at the same address.
    auto second = StartHost(secondHostSettings);
    const identity::TFingerprint secondKey = KeyOf(secondHostSettings);
    ASSERT_NE(secondKey, firstKey);
    {
        auto refused = StartMember();
        EXPECT_EQ(refused->WaitForExit(), 2);
        const std::string err = refused->Stderr();
        EXPECT_TRUE(Contains(err, "WARNING: the host key of the room at " + address)) << err;
        EXPECT_TRUE(Contains(err, firstKey.Short()) && Contains(err, secondKey.Short())) << err;
        EXPECT_TRUE(Contains(err, "--accept-host-key")) << err;
        EXPECT_TRUE(Contains(err, "could not enter the room")) << err;
    }
    EXPECT_EQ(second->Count(arrival), 0u);
    EXPECT_EQ(Remembered(), firstKey);

    auto accepted = StartMember(true);
    ASSERT_TRUE(second->WaitForLine(arrival)) << accepted->Stderr();
    EXPECT_TRUE(Contains(accepted->Stderr(), "WARNING: the host key")) << accepted->Stderr();
    EXPECT_EQ(Remembered(), secondKey);
    Leave(*accepted);

    // Remembered: the next entry asks nothing.
    auto again = StartMember();
    ASSERT_TRUE(again->WaitForLine(arrival)) << again->Stderr();
    EXPECT_FALSE(Contains(again->Stderr(), "WARNING")) << again->Stderr();
    Leave(*again);
    Leave(*second);
}

} // namespace
