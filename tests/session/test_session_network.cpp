// Session components talking over real sockets on loopback: in this process,
// and with members in processes of their own.
#include "MemberProcess.h"
#include "SessionTestSupport.h"

#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <set>

using namespace sessiontest;

namespace {

class SessionNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        // This process's members listen on 127.0.0.1; helpers get 127.0.0.2, ...
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        port = FreshPort();
    }
    uint16_t port = 0;
};

std::vector<std::string> SessionNames(TDPSession& s) {
    std::vector<std::string> names;
    for (int i = 0; i < s.SessionList().Count(); ++i)
        names.push_back(s.SessionList().Names(i));
    return names;
}

// The player id of a member process's "OPEN <id>" line; 0 (and a failure)
// when the process never opened its session.
uint32_t IdOf(const std::string& openLine) {
    if (openLine.size() <= 5) {
        ADD_FAILURE() << "the member process did not open its session";
        return 0;
    }
    return static_cast<uint32_t>(std::stoul(openLine.substr(5)));
}

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

TEST_F(SessionNetwork, CreateEnumerateJoinAndSeeEachOther) {
    TMember a, b;
    const AnsiString roomName = Sjis("表ソ能の部屋");
    a.Create(port, roomName, "127.0.0.1:" + Sjis("花子"));
    EXPECT_TRUE(a.Session.Opened());
    EXPECT_TRUE(a.Session.IsSessionHost());
    EXPECT_EQ(a.Events, (std::vector<std::string>{"open", "add " + std::to_string(a.Id())}));

    b.Connect("127.0.0.1", port);
    ASSERT_EQ(SessionNames(b.Session), std::vector<std::string>{roomName});
    b.Session.OpenSession(false, roomName, "127.0.0.1:taro");
    // Open, then the own player only; the host was already there.
    EXPECT_EQ(b.Events, (std::vector<std::string>{"open", "add " + std::to_string(b.Id())}));
    EXPECT_FALSE(b.Session.IsSessionHost());
    ASSERT_EQ(b.Session.PlayerList().Count(), 2);
    TDPPlayer* host = b.Session.PlayerList().Find(a.Id());
    EXPECT_TRUE(host->Remote);
    EXPECT_EQ(host->Name, "127.0.0.1:" + Sjis("花子"));
    EXPECT_FALSE(b.Session.OwnPlayer()->Remote);
    EXPECT_EQ(b.Session.CurrentSessionName(), roomName);

    ASSERT_TRUE(WaitUntil([&] { return a.HasPlayer(b.Id()); }));
    EXPECT_EQ(a.Events.back(), "add " + std::to_string(b.Id()));
    EXPECT_EQ(a.Session.PlayerList().Find(b.Id())->Name, "127.0.0.1:taro");
    EXPECT_TRUE(a.Session.PlayerList().Find(b.Id())->Remote);

    // Leaving: the other side sees the departure, with the record still listed.
    const uint32_t bId = b.Id();
    b.Session.CloseSession();
    EXPECT_EQ(b.Events.back(), "close");
    EXPECT_EQ(b.Session.OwnPlayer(), nullptr);
    EXPECT_EQ(b.Session.PlayerList().Count(), 0);
    EXPECT_EQ(b.Session.CurrentProviderName(), "");
    ASSERT_TRUE(WaitUntil([&] { return !a.HasPlayer(bId); }));
    EXPECT_EQ(a.Events.back(), "del " + std::to_string(bId));
}

TEST_F(SessionNetwork, BlocksToAllToOneAndToSelf) {
    TMember a, b, c;
    a.Create(port, "room", "a");
    b.Join("127.0.0.1", port, "room", "b");
    c.Join("127.0.0.1", port, "room", "c");
    ASSERT_TRUE(WaitUntil([&] {
        return a.Session.PlayerList().Count() == 3 && b.Session.PlayerList().Count() == 3;
    }));

    // To all: every other member, never the sender.
    b.Send(0, "to everyone");
    ASSERT_TRUE(WaitUntil(
        [&] { return a.CountMessages("to everyone") && c.CountMessages("to everyone"); }));
    EXPECT_EQ(a.Messages.back().From, b.Id());
    // To one: only that member.
    c.Send(a.Id(), "only a");
    ASSERT_TRUE(WaitUntil([&] { return a.CountMessages("only a") == 1; }));
    // To self: delivered inside SendData, with the own record.
    a.Send(a.Id(), "myself");
    ASSERT_EQ(a.Messages.back().Data, "myself");
    EXPECT_EQ(a.Messages.back().From, a.Id());

    // A block of exactly 4 bytes is fine; 3 is refused with the program's text.
    b.Send(0, "four");
    try {
        b.Send(0, "abc");
        FAIL() << "a 3-byte block was accepted";
    } catch (const EDPSessionError& e) {
        EXPECT_EQ(Utf8(e.Message), "メッセージ形式が不正です");
    }
    ASSERT_TRUE(WaitUntil([&] { return a.CountMessages("four") && c.CountMessages("four"); }));
    EXPECT_EQ(b.CountMessages("to everyone") + b.CountMessages("four"), 0u);
    EXPECT_EQ(b.CountMessages("only a") + c.CountMessages("only a"), 0u);
    EXPECT_EQ(c.CountMessages("abc") + a.CountMessages("abc"), 0u);

    // Closed: sending does nothing and raises nothing, whatever the size.
    c.Session.CloseSession();
    c.Send(0, "x");
    c.Send(0, "after close");
}

TEST_F(SessionNetwork, OrderKeptAndLargeBlocksPass) {
    TMember a, b;
    a.Create(port, "room", "a");
    b.Join("127.0.0.1", port, "room", "b");
    // Sizes from 4 bytes to 4 MiB, interleaved, each numbered.
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) {
        size_t size = i % 50 == 7 ? (4u << 20) + static_cast<size_t>(i)
                                  : 4 + static_cast<size_t>(i % 97) * 13;
        std::string block(size, static_cast<char>('a' + i % 26));
        std::snprintf(block.data(), 5, "%04d", i % 10000);
        block[4 % size] = static_cast<char>('a' + i % 26);
        sent.push_back(block);
        b.Send(a.Id(), block);
    }
    ASSERT_TRUE(WaitUntil([&] { return a.Messages.size() >= sent.size(); }, 60000));
    ASSERT_EQ(a.Messages.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(a.Messages[i].Data, sent[i]) << "block " << i;
}

TEST_F(SessionNetwork, EleventhMemberIsRefusedCleanly) {
    std::vector<std::unique_ptr<TMember>> members;
    members.push_back(std::make_unique<TMember>());
    members[0]->Create(port, "full", "m0", 10);
    for (int i = 1; i < 10; ++i) {
        members.push_back(std::make_unique<TMember>());
        members.back()->Join("127.0.0.1", port, "full", "m" + std::to_string(i));
    }
    ASSERT_TRUE(WaitUntil([&] { return members[0]->Session.PlayerList().Count() == 10; }));

    TMember late;
    late.Connect("127.0.0.1", port);
    try {
        late.Session.OpenSession(false, "full", "late");
        FAIL() << "the 11th member got in";
    } catch (const EDPSessionError& e) {
        EXPECT_EQ(Utf8(e.Message), "セッション 'full' を開けません");
    }
    // Still connected, nothing opened, no event.
    EXPECT_FALSE(late.Session.Opened());
    EXPECT_TRUE(late.Events.empty());
    EXPECT_EQ(late.Session.CurrentProviderName(), late.Session.ProviderList().Names(0));

    // The room is unharmed: a block still reaches all nine others.
    members[3]->Send(0, "still here");
    ASSERT_TRUE(WaitUntil([&] {
        for (size_t i = 0; i < members.size(); ++i)
            if (i != 3 && !members[i]->CountMessages("still here")) return false;
        return true;
    }));
    // A place freed is a place to take.
    members[9]->Session.CloseSession();
    ASSERT_TRUE(WaitUntil([&] { return members[0]->Session.PlayerList().Count() == 9; }));
    late.Session.OpenSession(false, "full", "late");
    EXPECT_EQ(late.Session.PlayerList().Count(), 10);
}

TEST_F(SessionNetwork, SeveralRoomsListedInOrderAndJoinTakesFirstMatch) {
    TMember r1, r2, r3, r4, joiner;
    r1.Create(port, "Lobby", "one");
    r2.Create(port, Sjis("表の部屋"), "two");
    r3.Create(port, "lobby", "three"); // differs from the first only in case
    r4.Create(port, "Lobby", "four");  // same name again
    joiner.Connect("127.0.0.1", port);
    EXPECT_EQ(SessionNames(joiner.Session),
              (std::vector<std::string>{"Lobby", Sjis("表の部屋"), "lobby", "Lobby"}));
    joiner.Session.OpenSession(false, "LOBBY", "joiner");
    ASSERT_EQ(joiner.Session.PlayerList().Count(), 2);
    EXPECT_GE(joiner.Session.PlayerList().IndexOf(r1.Id()), 0);

    // Another application's rooms are not ours.
    TMember stranger;
    stranger.Session.SetGUID("{11111111-2222-3333-4444-555555555555}");
    stranger.Connect("127.0.0.1", port);
    EXPECT_EQ(stranger.Session.SessionList().Count(), 0);

    try {
        TMember other;
        other.Connect("127.0.0.1", port);
        other.Session.OpenSession(false, "nowhere", "x");
        FAIL();
    } catch (const EDPSessionError& e) {
        EXPECT_EQ(Utf8(e.Message), "セッション 'nowhere' が見つかりません");
    }
}

TEST_F(SessionNetwork, RoomsOfTwoProcessesAtOneAddressAndPortTakeover) {
    // The first helper owns the port; the second registers its room with it.
    auto first = std::make_unique<TMemberProcess>("127.0.0.1");
    first->Command("create " + std::to_string(port) + " first p1");
    ASSERT_NE(first->WaitFor("OPEN"), "");
    TMemberProcess second("127.0.0.1");
    second.Command("create " + std::to_string(port) + " second p2");
    ASSERT_NE(second.WaitFor("OPEN"), "");
    TMember mine;
    mine.Create(port, "third", "p3"); // this process registers too

    TMember joiner;
    joiner.Connect("127.0.0.1", port);
    // The owner's own room first; the two registrations may cross on the way.
    auto listed = SessionNames(joiner.Session);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], "first");
    EXPECT_EQ(std::set<std::string>(listed.begin() + 1, listed.end()),
              (std::set<std::string>{"second", "third"}));
    joiner.Session.OpenSession(false, "second", "visitor");
    ASSERT_NE(second.WaitFor("ADD"), "");
    joiner.Send(0, "hello second");
    ASSERT_NE(second.WaitFor("MSG"), "");

    // The owner ends: its room goes, the others stay findable at the same port.
    first.reset();
    TMember later;
    later.Connect("127.0.0.1", port);
    std::vector<std::string> names;
    QTimer retry; // asks again every 100 ms until the new owner answers
    retry.start(100);
    ASSERT_TRUE(WaitUntil(
        [&] {
            try {
                later.Session.RefreshSessions(); // refused while nobody holds the port
                names = SessionNames(later.Session);
            } catch (const EDPSessionError&) {
            }
            return names.size() == 2;
        },
        20000))
        << names.size();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"second", "third"}));
    later.Session.OpenSession(false, "second", "newcomer");
    EXPECT_EQ(later.Session.PlayerList().Count(), 3);
}

TEST_F(SessionNetwork, HostLeavesRoomCarriesOnAndNewcomerJoinsAtNewHost) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "host killed" : "host closes");
        uint16_t p = FreshPort();
        TMemberProcess host("127.0.0.2");
        host.Command("create " + std::to_string(p) + " room hostplayer");
        uint32_t hostId = IdOf(host.WaitFor("OPEN"));
        TMember b, c;
        b.Join("127.0.0.2", p, "room", "b");
        c.Join("127.0.0.2", p, "room", "c");
        ASSERT_TRUE(WaitUntil([&] { return b.HasPlayer(c.Id()); }));
        ASSERT_TRUE(b.HasPlayer(hostId) && c.HasPlayer(hostId));

        auto start = std::chrono::steady_clock::now();
        if (killed)
            host.Signal(SIGKILL);
        else
            host.Command("close");
        ASSERT_TRUE(WaitUntil([&] { return !b.HasPlayer(hostId) && !c.HasPlayer(hostId); }));
        std::printf("host departure seen after %.3f s\n", SecondsSince(start));
        ASSERT_TRUE(
            WaitUntil([&] { return b.Session.IsSessionHost() || c.Session.IsSessionHost(); }));
        // Exactly one: the earlier arrival.
        EXPECT_TRUE(b.Session.IsSessionHost());
        EXPECT_FALSE(c.Session.IsSessionHost());
        EXPECT_TRUE(b.Session.Opened() && c.Session.Opened());
        b.Send(0, "still talking");
        ASSERT_TRUE(WaitUntil([&] { return c.CountMessages("still talking") == 1; }));

        // The new host answers at its own address.
        TMember d;
        d.Join("127.0.0.1", p, "room", "d");
        EXPECT_EQ(d.Session.PlayerList().Count(), 3);
        ASSERT_TRUE(WaitUntil([&] { return b.HasPlayer(d.Id()) && c.HasPlayer(d.Id()); }));
        d.Send(0, "hi all");
        ASSERT_TRUE(
            WaitUntil([&] { return b.CountMessages("hi all") && c.CountMessages("hi all"); }));
    }
}

TEST_F(SessionNetwork, KilledMemberIsRemovedFromEveryone) {
    TMember a, b;
    a.Create(port, "room", "a");
    b.Join("127.0.0.1", port, "room", "b");
    TMemberProcess victim("127.0.0.2");
    victim.Command("join 127.0.0.1 " + std::to_string(port) + " room victim");
    uint32_t id = IdOf(victim.WaitFor("OPEN"));
    ASSERT_TRUE(WaitUntil([&] { return a.HasPlayer(id) && b.HasPlayer(id); }));

    auto start = std::chrono::steady_clock::now();
    victim.Signal(SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return !a.HasPlayer(id) && !b.HasPlayer(id); }));
    std::printf("killed member removed after %.3f s\n", SecondsSince(start));
    EXPECT_EQ(a.Events.back(), "del " + std::to_string(id));
    EXPECT_TRUE(a.Session.Opened() && b.Session.Opened());
}

TEST_F(SessionNetwork, FrozenMemberIsRemovedAndCutOffMemberLosesSession) {
    // One frozen member leaves the room; a member whose every peer falls
    // silent has lost the session.
    TMember a;
    a.Create(port, "room", "a");
    TMemberProcess frozen("127.0.0.2"), other("127.0.0.3");
    frozen.Command("join 127.0.0.1 " + std::to_string(port) + " room frozen");
    uint32_t frozenId = IdOf(frozen.WaitFor("OPEN"));
    other.Command("join 127.0.0.1 " + std::to_string(port) + " room other");
    uint32_t otherId = IdOf(other.WaitFor("OPEN"));

    TMemberProcess isolated("127.0.0.4");
    uint16_t p2 = FreshPort();
    TMemberProcess h1("127.0.0.5"), h2("127.0.0.6");
    h1.Command("create " + std::to_string(p2) + " second h1");
    ASSERT_NE(h1.WaitFor("OPEN"), "");
    h2.Command("join 127.0.0.5 " + std::to_string(p2) + " second h2");
    ASSERT_NE(h2.WaitFor("OPEN"), "");
    TMember cut;
    cut.Join("127.0.0.5", p2, "second", "cut");
    ASSERT_EQ(cut.Session.PlayerList().Count(), 3);
    ASSERT_TRUE(WaitUntil([&] { return a.HasPlayer(frozenId) && a.HasPlayer(otherId); }));

    auto start = std::chrono::steady_clock::now();
    frozen.Signal(SIGSTOP);
    h1.Signal(SIGSTOP);
    h2.Signal(SIGSTOP);
    bool lostSeen = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (!lostSeen && !cut.Session.Opened()) {
                lostSeen = true;
                std::printf("cut-off member lost the session after %.3f s\n", SecondsSince(start));
            }
            return !a.HasPlayer(frozenId) && lostSeen;
        },
        40000));
    std::printf("frozen member removed after %.3f s (at most)\n", SecondsSince(start));
    EXPECT_TRUE(a.HasPlayer(otherId));
    EXPECT_TRUE(a.Session.Opened());
    // Lost, then closed; nothing left behind.
    ASSERT_GE(cut.Events.size(), 2u);
    EXPECT_EQ(cut.Events[cut.Events.size() - 2], "lost");
    EXPECT_EQ(cut.Events.back(), "close");
    EXPECT_EQ(cut.Session.OwnPlayer(), nullptr);
    EXPECT_EQ(cut.Session.PlayerList().Count(), 0);
    // The other live member carries on with the host.
    other.Command("send 0 after the freeze");
    ASSERT_TRUE(WaitUntil([&] { return a.CountMessages("after the freeze") == 1; }));
    frozen.Signal(SIGCONT);
    h1.Signal(SIGCONT);
    h2.Signal(SIGCONT);
}
