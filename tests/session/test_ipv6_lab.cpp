// Rooms over IPv6 in network namespaces (root only; skipped, saying why,
// otherwise): parlora-cli members on a network with IPv6 addresses only, and
// an IPv4-only and an IPv6-only member in one room through a host that
// speaks both.
#include "NetLab.h"
#include "cli/TCliProcess.h"

#include <QElapsedTimer>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using TFamily = TNetLab::TFamily;

// Not the default port, so a port typed in the address has to be used.
const QString kPort = "47700";
const char* kRoomName = "heya.parlora.test";

std::string Arrival(const std::string& player) {
    return player + " さんが入室しました。";
}
std::string Departure(const std::string& handle) {
    return handle + " さんが退室しました。";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A member of a lab room: its process, its player name and handle, and
// whether it prints JSON lines.
struct TLabCli {
    TCliProcess* Process;
    std::string Player;
    std::string Handle;
    bool Json = false;

    // Waits for the line this member prints for an entry (sender "" for
    // the program's own lines).
    bool Shows(const std::string& sender, const std::string& handle, const std::string& text) {
        if (!Json) return Process->WaitForLine(sender.empty() ? text : "<" + handle + ">" + text);
        const std::string fields = "\"sender\":\"" + sender + "\",\"handle\":\"" + handle +
                                   "\",\"text\":\"" + text + "\"}";
        return Process->WaitForLine([&](const std::string& l) { return Contains(l, fields); });
    }
};

class Ipv6Lab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = TNetLab::Unavailable(); !why.empty()) GTEST_SKIP() << why;
        lab = std::make_unique<TNetLab>();
    }
    void TearDown() override {
        processes.clear(); // before their namespaces go
        lab.reset();
    }

    // parlora-cli in `machine` with `own` in its player name and its service
    // listening on `listen` ("": every address of both families).
    TLabCli Cli(const std::string& machine, const std::string& own, const std::string& listen,
                const std::string& handle, QStringList arguments, bool json = false) {
        arguments << "--handle" << QString::fromStdString(handle);
        if (json) arguments << "--jsonl";
        // No router in these labs to ask for a forwarded port.
        TCliLaunch launch{lab->Inside(machine),
                          {{"PARLORA_LISTEN_ADDR", listen}, {"PARLORA_PORTMAP", "0"}}};
        processes.push_back(
            std::make_unique<TCliProcess>(own, arguments, TCliOutput::Read, launch));
        const bool v6 = Contains(own, ":");
        return {processes.back().get(), (v6 ? "[" + own + "]" : own) + ":" + handle, handle, json};
    }

    // Every member has seen the later ones arrive, and each one's line reaches
    // all the others under its handle.
    static void ExpectAllHearEachOther(std::vector<TLabCli>& room) {
        for (size_t i = 0; i < room.size(); ++i)
            for (size_t later = i + 1; later < room.size(); ++later)
                EXPECT_TRUE(room[i].Shows("", "", Arrival(room[later].Player)))
                    << room[i].Handle << " never saw " << room[later].Player << " arrive";
        for (TLabCli& m : room)
            m.Process->Write("from " + m.Handle + "\n");
        for (TLabCli& from : room)
            for (TLabCli& to : room)
                if (&from != &to) {
                    EXPECT_TRUE(to.Shows(from.Player, from.Handle, "from " + from.Handle))
                        << to.Handle << " never showed the line of " << from.Player << "\n"
                        << to.Process->Stderr();
                }
    }

    // Runs a command in the machine's namespace; its exit code.
    int InMachine(const std::string& machine, const std::string& command) {
        std::string line;
        for (const std::string& part : lab->Inside(machine))
            line += part + " ";
        return TNetLab::Run(line + command);
    }
    bool NoRoute(const std::string& machine, const std::string& to) {
        return InMachine(machine, "ip route get " + to) != 0;
    }

    std::unique_ptr<TNetLab> lab;
    std::vector<std::unique_ptr<TCliProcess>> processes;
};

} // namespace

// IPv6 only: bare, bracketed and named addresses; everyone shows every player name and handle.
TEST_F(Ipv6Lab, AnIPv6OnlyRoomIsEnteredAtEveryTypedFormWithHandlesRight) {
    for (int host : {1, 2, 3, 4})
        lab->AddPublic("m" + std::to_string(host), host, TFamily::IPv6);
    lab->SetHosts("m4", TNetLab::PublicAddress6(1) + " " + kRoomName);
    const auto at = TNetLab::PublicAddress6;

    TLabCli hanako = Cli("m1", at(1), at(1), "hanako", {"--create", "v6", "--port", kPort});
    ASSERT_TRUE(hanako.Shows("", "", Arrival("[fd5a::1]:hanako"))) << hanako.Process->Stderr();
    TLabCli taro = Cli("m2", at(2), at(2), "taro", {"--join", "fd5a::1", "--port", kPort});
    ASSERT_TRUE(taro.Shows("", "", Arrival("[fd5a::2]:taro"))) << taro.Process->Stderr();
    TLabCli jiro = Cli("m3", at(3), at(3), "ji:ro", {"--join", "[fd5a::1]:" + kPort});
    ASSERT_TRUE(jiro.Shows("", "", Arrival("[fd5a::3]:ji:ro"))) << jiro.Process->Stderr();
    TLabCli saburo =
        Cli("m4", at(4), at(4), "saburo", {"--join", QString(kRoomName) + ":" + kPort}, true);
    ASSERT_TRUE(saburo.Shows("", "", Arrival("[fd5a::4]:saburo"))) << saburo.Process->Stderr();

    std::vector<TLabCli> room{hanako, taro, jiro, saburo};
    ExpectAllHearEachOther(room);

    // The departure shows the handle alone, ":" and all.
    jiro.Process->CloseInput();
    EXPECT_EQ(jiro.Process->WaitForExit(), 0) << jiro.Process->Stderr();
    for (TLabCli* m : {&hanako, &taro, &saburo})
        EXPECT_TRUE(m->Shows("", "", Departure("ji:ro"))) << m->Handle;
}

// An IPv4-only and an IPv6-only member, with no route between them, talk via a dual-stack host.
TEST_F(Ipv6Lab, AnIPv4OnlyAndAnIPv6OnlyMemberTalkThroughAHostOfBothFamilies) {
    lab->AddPublic("host", 1, TFamily::Both);
    lab->AddPublic("four", 4, TFamily::IPv4);
    lab->AddPublic("six", 6, TFamily::IPv6);
    const std::string names = TNetLab::PublicAddress(1) + " " + kRoomName + "\n" +
                              TNetLab::PublicAddress6(1) + " " + kRoomName;
    lab->SetHosts("four", names);
    lab->SetHosts("six", names);
    ASSERT_TRUE(NoRoute("four", TNetLab::PublicAddress6(6)));
    ASSERT_TRUE(NoRoute("six", TNetLab::PublicAddress(4)));
    const QString typed = QString(kRoomName) + ":" + kPort;

    TLabCli hanako = Cli("host", TNetLab::PublicAddress(1), "", "hanako",
                         {"--create", "mixed", "--port", kPort});
    ASSERT_TRUE(hanako.Shows("", "", Arrival("10.77.0.1:hanako"))) << hanako.Process->Stderr();
    TLabCli yon =
        Cli("four", TNetLab::PublicAddress(4), TNetLab::PublicAddress(4), "yon", {"--join", typed});
    ASSERT_TRUE(yon.Shows("", "", Arrival("10.77.0.4:yon"))) << yon.Process->Stderr();
    TLabCli roku = Cli("six", TNetLab::PublicAddress6(6), TNetLab::PublicAddress6(6), "roku",
                       {"--join", typed}, true);
    ASSERT_TRUE(roku.Shows("", "", Arrival("[fd5a::6]:roku"))) << roku.Process->Stderr();

    std::vector<TLabCli> room{hanako, yon, roku};
    ExpectAllHearEachOther(room);
    // Still there after the relayed lines: nobody lost the room meanwhile.
    yon.Process->Write("again\n");
    EXPECT_TRUE(roku.Shows(yon.Player, "yon", "again"));
    roku.Process->Write("again\n");
    EXPECT_TRUE(yon.Shows(roku.Player, "roku", "again"));
}

// A host whose IPv6 never answers: a guest of both families enters over IPv4 at once.
TEST_F(Ipv6Lab, AGuestEntersOverIPv4WhenTheHostsIPv6AddressNeverAnswers) {
    lab->AddPublic("host", 1, TFamily::Both);
    lab->AddPublic("guest", 5, TFamily::Both);
    lab->SetHosts("guest", TNetLab::PublicAddress(1) + " " + kRoomName + "\n" +
                               TNetLab::PublicAddress6(1) + " " + kRoomName);
    // Dropped, not refused: a dial to it hangs as it does behind a broken IPv6 route.
    ASSERT_EQ(InMachine("host", "ip6tables -A INPUT -p tcp -j DROP"), 0);

    TLabCli hanako = Cli("host", TNetLab::PublicAddress(1), "", "hanako",
                         {"--create", "fallback", "--port", kPort});
    ASSERT_TRUE(hanako.Shows("", "", Arrival("10.77.0.1:hanako"))) << hanako.Process->Stderr();
    QElapsedTimer entering;
    entering.start();
    TLabCli go = Cli("guest", TNetLab::PublicAddress(5), "", "go",
                     {"--join", QString(kRoomName) + ":" + kPort});
    ASSERT_TRUE(go.Shows("", "", Arrival("10.77.0.5:go"))) << go.Process->Stderr();
    // Entering takes under half a second here; waiting for the IPv6 attempt to
    // give up (the handshake bound, 5 s) would take longer than this.
    EXPECT_LT(entering.elapsed(), 4000)
        << "the IPv4 address was tried only after the IPv6 one failed";
    std::vector<TLabCli> room{hanako, go};
    ExpectAllHearEachOther(room);
}
