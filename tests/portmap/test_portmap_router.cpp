// Rooms hosted behind a home router in network namespaces (root only; the
// tests say why they skip otherwise): the host's parlora-cli asks the router
// to forward its port, a guest outside enters at the router's address, and
// the forwarding is gone once the room is.
#include "RouterLab.h"
#include "cli/TCliProcess.h"
#include "support/Wait.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

namespace {

constexpr uint16_t kDirectoryPort = 47624;

bool Has(const std::vector<int>& ports, int port) {
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

// Waits until the router's forwarded ports satisfy `want`.
template <class P> bool WaitForPorts(TRouterLab& lab, P want, int timeoutMs = 20000) {
    return testsupport::PollUntil([&] { return want(lab.ForwardedPorts()); }, timeoutMs, 200);
}

class RouterLabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = TRouterLab::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    // A parlora-cli in the lab machine `name` at `address`, port mapping on.
    static std::unique_ptr<TCliProcess> Cli(TRouterLab& lab, const std::string& name,
                                            const std::string& address, QStringList arguments,
                                            std::string lease = "3600") {
        TCliLaunch launch{lab.Inside(name),
                          {{"PARLORA_PORTMAP", "1"}, {"PARLORA_PORTMAP_LEASE", lease}}};
        return std::make_unique<TCliProcess>(address, arguments, TCliOutput::Read, launch);
    }
    // Two machines at home (.10 and .11) and a guest outside (.2).
    static void HomesAndAGuest(TRouterLab& lab) {
        lab.AddHome("home", 10);
        lab.AddHome("home2", 11);
        lab.AddOutside("guest", 2);
    }
    // Hanako creates the room "lab" at home (.10).
    static std::unique_ptr<TCliProcess> Hanako(TRouterLab& lab, std::string lease = "3600") {
        return Cli(lab, "home", TRouterLab::HomeAddress(10),
                   {"--create", "lab", "--handle", "hanako"}, std::move(lease));
    }
    static std::string Arrival(const std::string& who) { return who + " さんが入室しました。"; }
    // The guest leaves, then the host: the forwarding goes with the room.
    static void LeaveAndExpectNoForwarding(TRouterLab& lab, TCliProcess& guest, TCliProcess& host) {
        guest.CloseInput();
        EXPECT_EQ(guest.WaitForExit(), 0);
        host.CloseInput();
        EXPECT_EQ(host.WaitForExit(), 0);
        EXPECT_TRUE(lab.ForwardedPorts().empty());
    }
};

} // namespace

TEST_F(RouterLabTest, AGuestOutsideEntersAtTheRoutersAddress) {
    TRouterLab lab(TRouterLab::TRouter::Upnp);
    lab.AddHome("home", 10);
    lab.AddOutside("guest", 2);
    const std::string home = TRouterLab::HomeAddress(10), outside = TRouterLab::OutsideAddress(2);

    // A short lease: the mapping outlives it only when it is renewed.
    auto hanako = Hanako(lab, "6");
    ASSERT_TRUE(hanako->WaitForLine(Arrival(home + ":hanako"))) << hanako->Stderr();
    ASSERT_TRUE(hanako->WaitForStderr("others enter from outside at 11.22.33.1 (UPnP)"))
        << hanako->Stderr();
    ASSERT_TRUE(WaitForPorts(lab, [](auto p) { return Has(p, kDirectoryPort); }));

    auto taro = Cli(lab, "guest", outside,
                    {"--join", QString::fromStdString(lab.RouterAddress()), "--handle", "taro"});
    ASSERT_TRUE(taro->WaitForLine(Arrival(outside + ":taro"))) << taro->Stderr();
    ASSERT_TRUE(hanako->WaitForLine(Arrival(outside + ":taro")));
    hanako->Write("hello from home\n");
    EXPECT_TRUE(taro->WaitForLine("<hanako>hello from home"));
    taro->Write("hello from outside\n");
    EXPECT_TRUE(hanako->WaitForLine("<taro>hello from outside"));

    // Three leases later the forwarding is still there: it was renewed.
    QThread::msleep(18000);
    EXPECT_TRUE(Has(lab.ForwardedPorts(), kDirectoryPort));

    LeaveAndExpectNoForwarding(lab, *taro, *hanako);
}

TEST_F(RouterLabTest, SigtermAndARouterRestartAndASecondHost) {
    TRouterLab lab(TRouterLab::TRouter::Upnp);
    HomesAndAGuest(lab);
    const std::string outside = TRouterLab::OutsideAddress(2);

    auto hanako = Hanako(lab, "4");
    ASSERT_TRUE(hanako->WaitForStderr("others enter from outside at 11.22.33.1 ("))
        << hanako->Stderr();

    // The router restarts and forgets: the renewal makes the mapping again.
    lab.RestartDaemon();
    EXPECT_TRUE(lab.ForwardedPorts().empty());
    EXPECT_TRUE(WaitForPorts(lab, [](auto p) { return Has(p, kDirectoryPort); }));

    // A second host behind the same router: its directory port is taken on
    // the router, so it gets the next one, and guests enter there.
    auto jiro =
        Cli(lab, "home2", TRouterLab::HomeAddress(11), {"--create", "lab2", "--handle", "jiro"});
    ASSERT_TRUE(jiro->WaitForStderr("others enter from outside at 11.22.33.1:47625 ("))
        << jiro->Stderr();
    auto taro = Cli(lab, "guest", outside,
                    {"--join", QString::fromStdString(lab.RouterAddress()), "--port", "47625",
                     "--handle", "taro"});
    ASSERT_TRUE(jiro->WaitForLine(Arrival(outside + ":taro"))) << taro->Stderr();

    // SIGTERM ends the first host cleanly, and its forwarding goes.
    hanako->Signal(SIGTERM);
    EXPECT_EQ(hanako->WaitForExit(), 128 + SIGTERM);
    auto left = lab.ForwardedPorts();
    EXPECT_FALSE(Has(left, kDirectoryPort));
    EXPECT_TRUE(Has(left, 47625));
}

TEST_F(RouterLabTest, ARouterWithNatPmpOnlyForwardsToo) {
    TRouterLab lab(TRouterLab::TRouter::NatPmpOnly);
    HomesAndAGuest(lab);
    const std::string outside = TRouterLab::OutsideAddress(2);
    // A host that asked for no forwarding, started first: had it asked, it
    // would hold the directory port on the router before hanako.
    auto ken = Cli(lab, "home2", TRouterLab::HomeAddress(11),
                   {"--create", "ken", "--handle", "ken", "--no-portmap"});
    ASSERT_TRUE(ken->WaitForLine(Arrival(TRouterLab::HomeAddress(11) + ":ken")));
    // The default gateway is found in the routing table and asked directly.
    auto hanako = Hanako(lab);
    ASSERT_TRUE(hanako->WaitForStderr("others enter from outside at 11.22.33.1 (NAT-PMP)"))
        << hanako->Stderr();
    EXPECT_EQ(lab.ForwardedPorts(), std::vector<int>{kDirectoryPort});
    EXPECT_EQ(ken->Stderr(), "");
    auto taro = Cli(lab, "guest", outside,
                    {"--join", QString::fromStdString(lab.RouterAddress()), "--handle", "taro"});
    EXPECT_TRUE(hanako->WaitForLine(Arrival(outside + ":taro"))) << taro->Stderr();
    LeaveAndExpectNoForwarding(lab, *taro, *hanako);
}

TEST_F(RouterLabTest, WithoutUpnpTheUserIsToldAndTheLanStillWorks) {
    TRouterLab lab(TRouterLab::TRouter::NoUpnp);
    lab.AddHome("home", 10);
    lab.AddHome("home2", 11);
    auto hanako = Hanako(lab);
    ASSERT_TRUE(hanako->WaitForStderr("外からは入室できません")) << hanako->Stderr();
    EXPECT_NE(hanako->Stderr().find("TCP 47624"), std::string::npos) << hanako->Stderr();
    EXPECT_EQ(hanako->Stderr().find("others enter from outside"), std::string::npos);
    auto jiro =
        Cli(lab, "home2", TRouterLab::HomeAddress(11),
            {"--join", QString::fromStdString(TRouterLab::HomeAddress(10)), "--handle", "jiro"});
    EXPECT_TRUE(hanako->WaitForLine(Arrival(TRouterLab::HomeAddress(11) + ":jiro")))
        << jiro->Stderr();
}

TEST_F(RouterLabTest, BehindASecondNatTheUserIsTold) {
    TRouterLab lab(TRouterLab::TRouter::DoubleNat);
    lab.AddHome("home", 10);
    auto hanako = Hanako(lab);
    // miniupnpd says it has no public address when its own is private.
    ASSERT_TRUE(hanako->WaitForStderr("外側のアドレスがありません(二重のNATなど)"))
        << hanako->Stderr();
    EXPECT_EQ(hanako->Stderr().find("others enter from outside"), std::string::npos);
    EXPECT_TRUE(lab.ForwardedPorts().empty());
}

TEST_F(RouterLabTest, TheWindowedProgramForwardsWhileItHostsAndNotAfterSigterm) {
    TRouterLab lab(TRouterLab::TRouter::Upnp);
    lab.AddHome("home", 10);
    lab.AddOutside("guest", 2);
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PARLORA_PORTMAP", "1");
    env.insert("PARLORA_OWN_IP", QString::fromStdString(TRouterLab::HomeAddress(10)));
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    program.setProcessEnvironment(env);
    QStringList arguments;
    for (auto& part : lab.Inside("home"))
        arguments << QString::fromStdString(part);
    const QString command = arguments.takeFirst();
    program.start(command, arguments << PARLORA_APP_PATH << "SV"
                                     << "HD=hanako");
    ASSERT_TRUE(program.waitForStarted());

    // The room is created by itself; the router forwards the directory port.
    ASSERT_TRUE(WaitForPorts(
        lab, [](auto p) { return Has(p, kDirectoryPort); }, 30000))
        << program.readAllStandardError().toStdString();
    const std::string outside = TRouterLab::OutsideAddress(2);
    auto taro = Cli(lab, "guest", outside,
                    {"--join", QString::fromStdString(lab.RouterAddress()), "--handle", "taro"});
    EXPECT_TRUE(taro->WaitForLine(Arrival(outside + ":taro"))) << taro->Stderr();
    taro->CloseInput();
    EXPECT_EQ(taro->WaitForExit(), 0);

    // SIGTERM closes the windows as the user would; the forwarding goes.
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    EXPECT_TRUE(program.waitForFinished(30000));
    EXPECT_TRUE(lab.ForwardedPorts().empty());
}

TEST_F(RouterLabTest, WrongUpnpAnswersAreRefusedAndTheLanStillWorks) {
    struct Case {
        TRouterLab::TBadIgd Bad;
        const char* Name;
        const char* Detail;
    } cases[] = {
        {TRouterLab::TBadIgd::Garbage, "garbage", "not an Internet gateway"},
        {TRouterLab::TBadIgd::Huge, "huge", "too large"},
        {TRouterLab::TBadIgd::Elsewhere, "elsewhere", "control address is not the gateway"}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRouterLab lab(c.Bad);
        lab.AddHome("home", 10);
        lab.AddHome("home2", 11);
        auto hanako = Hanako(lab);
        ASSERT_TRUE(hanako->WaitForStderr("外からは入室できません")) << hanako->Stderr();
        EXPECT_NE(hanako->Stderr().find(c.Detail), std::string::npos) << hanako->Stderr();
        // Nothing was asked of the control point a wrong description names.
        EXPECT_EQ(lab.BadIgdRequests(), "");
        auto jiro = Cli(
            lab, "home2", TRouterLab::HomeAddress(11),
            {"--join", QString::fromStdString(TRouterLab::HomeAddress(10)), "--handle", "jiro"});
        EXPECT_TRUE(hanako->WaitForLine(Arrival(TRouterLab::HomeAddress(11) + ":jiro")))
            << jiro->Stderr();
        hanako->CloseInput();
        EXPECT_EQ(hanako->WaitForExit(), 0);
    }
}
