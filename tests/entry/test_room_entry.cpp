// Entering a room through the one library the start dialog, parlora-cli and
// the tests share: provider, rooms at an address, the choice by name, the
// open on a worker, and the lines of arrivals and departures.
#include "chat_core/ChatPayload.h"
#include "entry/RoomEntry.h"
#include "platform/Exception.h"
#include "platform/Synchronizer.h"
#include "session/SessionTestSupport.h"

#include <gtest/gtest.h>
#include <stdexcept>

using namespace sessiontest;

namespace {

TDPNameGuidList Rooms(std::initializer_list<const char*> utf8Names) {
    TDPNameGuidList list;
    for (const char* name : utf8Names)
        list.Add(Sjis(name), {});
    return list;
}

class RoomEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        port = FreshPort();
    }
    // A component set up as the program sets one up, on this test's port.
    void Prepare(TDPSession& s) {
        entry::Prepare(s);
        s.TCPIPSetting().Port = port;
    }
    uint16_t port = 0;
};

} // namespace

TEST(RoomChoice, NoNameTakesTheOnlyRoomAndNamesPickTheFirstOfTheirSpelling) {
    using K = entry::TRoomChoice;
    EXPECT_EQ(entry::ChooseRoom(Rooms({}), "").Kind, K::NoRoom);
    EXPECT_EQ(entry::ChooseRoom(Rooms({}), Sjis("部屋")).Kind, K::NoRoom);

    const entry::TRoomChoice only = entry::ChooseRoom(Rooms({"雑談"}), "");
    EXPECT_EQ(only.Kind, K::Chosen);
    EXPECT_EQ(Utf8(only.Name), "雑談");
    EXPECT_EQ(entry::ChooseRoom(Rooms({"雑談", "将棋"}), "").Kind, K::Several);

    // Single-byte letters in any case; the name comes back as listed, the
    // first of two that match.
    const entry::TRoomChoice named = entry::ChooseRoom(Rooms({"Go", "room A", "ROOM a"}), "Room A");
    EXPECT_EQ(named.Kind, K::Chosen);
    EXPECT_EQ(named.Name, "room A");
    // A name asked for is never replaced by the only room there is.
    EXPECT_EQ(entry::ChooseRoom(Rooms({"雑談"}), Sjis("将棋")).Kind, K::NotFound);
    // Double-byte characters must match byte for byte: "ａ" and "Ａ" differ.
    EXPECT_EQ(entry::ChooseRoom(Rooms({"ａ"}), Sjis("Ａ")).Kind, K::NotFound);
}

TEST(RoomLines, ArrivalsNameThePlayerDeparturesTheHandle) {
    EXPECT_EQ(Utf8(entry::PlayerName("192.168.0.5", Sjis("花子"))), "192.168.0.5:花子");
    EXPECT_EQ(Utf8(entry::PlayerName("", "taro")), ":taro");
    EXPECT_EQ(Utf8(entry::ArrivalLine(Sjis("192.168.0.5:花子"))),
              "  192.168.0.5:花子 さんが入室しました。");
    EXPECT_EQ(Utf8(entry::DepartureLine(Sjis("192.168.0.5:花子"))), "  花子 さんが退室しました。");
    // A name holding "%s" is put in as it is.
    EXPECT_EQ(Utf8(entry::ArrivalLine("1.2.3.4:%s")), "  1.2.3.4:%s さんが入室しました。");
}

TEST_F(RoomEntry, PrepareGivesTheProgramsGuidAndRoomSize) {
    TDPSession s;
    entry::Prepare(s);
    EXPECT_EQ(s.GUID(), entry::kApplicationGuid);
    EXPECT_EQ(s.MaxPlayers(), 10);
}

TEST_F(RoomEntry, UsesTheTcpIpProviderWithTheHostGiven) {
    TDPSession s;
    Prepare(s);
    const AnsiString provider = entry::TcpIpProviderName(s);
    ASSERT_FALSE(provider.empty());
    EXPECT_EQ(s.ProviderList().Guids(s.ProviderList().IndexOfName(provider)), TCPIPProviderGuid());

    entry::UseTcpIp(s, "127.0.0.1");
    EXPECT_EQ(s.CurrentProviderName(), provider);
    EXPECT_TRUE(s.TCPIPSetting().Enabled);
    EXPECT_EQ(s.TCPIPSetting().HostName, "127.0.0.1");
    EXPECT_EQ(s.TCPIPSetting().Port, port);
    entry::UseTcpIp(s, "");
    EXPECT_EQ(s.TCPIPSetting().HostName, "");
}

TEST_F(RoomEntry, CreateListChooseAndJoinInPlace) {
    TDPSession host, guest;
    Prepare(host);
    Prepare(guest);
    entry::UseTcpIp(host, "");
    entry::OpenRoom(host, true, Sjis("表ソ能の部屋"), entry::PlayerName("127.0.0.1", "host"));
    ASSERT_TRUE(host.Opened());

    entry::UseTcpIp(guest, "127.0.0.1");
    const TDPNameGuidList& rooms = entry::ListRooms(guest);
    ASSERT_EQ(rooms.Count(), 1);
    const entry::TRoomChoice choice = entry::ChooseRoom(rooms, "");
    ASSERT_EQ(choice.Kind, entry::TRoomChoice::Chosen);
    EXPECT_EQ(Utf8(choice.Name), "表ソ能の部屋");
    entry::OpenRoom(guest, false, choice.Name, entry::PlayerName("127.0.0.1", "guest"));
    EXPECT_TRUE(guest.Opened());
    EXPECT_FALSE(guest.IsSessionHost());
    EXPECT_TRUE(WaitUntil([&] { return host.PlayerList().Count() == 2; }));
}

TEST_F(RoomEntry, AnotherProgramsRoomIsNotListed) {
    TDPSession stranger, guest;
    stranger.SetGUID("{11111111-2222-3333-4444-555555555555}");
    stranger.SetMaxPlayers(10);
    stranger.TCPIPSetting().Port = port;
    entry::UseTcpIp(stranger, "");
    stranger.OpenSession(true, "other", "127.0.0.1:x");
    Prepare(guest);
    entry::UseTcpIp(guest, "127.0.0.1");
    EXPECT_EQ(entry::ChooseRoom(entry::ListRooms(guest), "").Kind, entry::TRoomChoice::NoRoom);
}

TEST_F(RoomEntry, OnAWorkerEventsRunOnTheGuiThreadAndTheHandlersComeBack) {
    TDPSession host;
    Prepare(host);
    std::vector<std::string> seen;
    bool offThread = false;
    auto note = [&](const std::string& what) {
        if (!platform::IsGuiThread()) offThread = true;
        seen.push_back(what);
    };
    auto onOpen = [&](TCustomDPSession*) { note("open"); };
    auto onAdd = [&](TCustomDPSession*, TDPPlayer* p) { note("add " + Utf8(p->Name)); };
    host.OnOpen = onOpen;
    host.OnAddPlayer = onAdd;
    bool stepOnWorker = false;
    entry::TStepRunner onWorker = [&](const std::function<void()>& step) {
        entry::RunOnWorker([&] {
            stepOnWorker = !platform::IsGuiThread();
            step();
        });
    };
    entry::UseTcpIp(host, "");
    entry::OpenRoom(host, true, "room", "127.0.0.1:host", onWorker);
    EXPECT_TRUE(stepOnWorker);
    ASSERT_TRUE(host.Opened());
    EXPECT_FALSE(offThread);
    EXPECT_EQ(seen, (std::vector<std::string>{"open", "add 127.0.0.1:host"}));

    // Afterwards the handlers are the component's own again, and a later
    // arrival reaches them once, through the receive pump.
    EXPECT_NE(host.OnOpen.target<decltype(onOpen)>(), nullptr);
    EXPECT_NE(host.OnAddPlayer.target<decltype(onAdd)>(), nullptr);
    TMember guest;
    guest.Join("127.0.0.1", port, "room", "127.0.0.1:guest");
    EXPECT_TRUE(WaitUntil([&] { return seen.size() == 3; }));
    EXPECT_FALSE(offThread);
    EXPECT_EQ(seen.back(), "add 127.0.0.1:guest");
}

TEST(RunOnWorker, ServesHandOversMeanwhileAndRethrowsTheStepsError) {
    bool stepOnWorker = false;
    bool handOverOnGui = false;
    entry::RunOnWorker([&] {
        stepOnWorker = !platform::IsGuiThread();
        // Would never return if the calling thread stopped serving.
        platform::Synchronize([&] { handOverOnGui = platform::IsGuiThread(); });
    });
    EXPECT_TRUE(stepOnWorker);
    EXPECT_TRUE(handOverOnGui);

    EXPECT_THROW(entry::RunOnWorker([] { throw platform::EAbort(); }), platform::EAbort);
    try {
        entry::RunOnWorker([] { throw std::runtime_error("worker failed"); });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "worker failed");
    }
}

TEST_F(RoomEntry, JoiningAMissingRoomFailsThroughTheWorker) {
    TDPSession guest;
    Prepare(guest);
    entry::UseTcpIp(guest, "127.0.0.1");
    EXPECT_THROW(
        entry::OpenRoom(guest, false, "nowhere", "127.0.0.1:g",
                        [](const std::function<void()>& step) { entry::RunOnWorker(step); }),
        platform::Exception);
    EXPECT_FALSE(guest.Opened());
}

TEST(PlayerNames, EveryMemberDerivesTheTypedHandleWhateverTheAddress) {
    EXPECT_EQ(entry::PlayerName("2001:db8::5", "hanako"), "[2001:db8::5]:hanako");
    EXPECT_EQ(entry::PlayerName("[2001:db8::5]", "hanako"), "[2001:db8::5]:hanako");
    // A port after the address would be taken for part of the handle.
    EXPECT_EQ(entry::PlayerName("11.22.33.1:47625", "hanako"), "11.22.33.1:hanako");
    EXPECT_EQ(entry::PlayerName("[2001:db8::5]:47625", "hanako"), "[2001:db8::5]:hanako");
    // Something that is no address but holds ":" is kept apart all the same.
    EXPECT_EQ(entry::PlayerName("fe80::1%eth0", "hanako"), "[fe80::1%eth0]:hanako");

    const AnsiString colonTrail = std::string("\x83\x3A", 2); // second byte 0x3A
    const AnsiString handles[] = {"hanako",
                                  "a:b",
                                  ":x",
                                  "x:",
                                  "[y]:z",
                                  "]",
                                  Sjis("花子"),
                                  colonTrail,
                                  colonTrail + ":" + colonTrail,
                                  ""};
    const AnsiString addresses[] = {"192.168.0.5",      "2001:db8::5",         "[::1]",       "",
                                    "11.22.33.1:47625", "[2001:db8::5]:47625", "fe80::1%eth0"};
    for (const AnsiString& address : addresses)
        for (const AnsiString& handle : handles) {
            const AnsiString name = entry::PlayerName(address, handle);
            EXPECT_EQ(chat::HandleOf(name), handle) << Utf8(name);
            EXPECT_EQ(Utf8(entry::DepartureLine(name)),
                      "  " + Utf8(handle) + " さんが退室しました。");
        }
}

TEST(DialableHost, AddressesGoAsTheyAreNamesAreLookedUpOnTheRunner) {
    int steps = 0;
    const entry::TStepRunner counted = [&](const std::function<void()>& step) {
        ++steps;
        entry::RunOnWorker(step);
    };
    auto typed = [](const char* text) { return *entry::ParseTypedAddress(text).Address; };
    EXPECT_EQ(entry::DialableHost(typed("192.0.2.7:5000"), counted), "192.0.2.7");
    EXPECT_EQ(entry::DialableHost(typed("[2001:DB8:0::5]:5000"), counted), "2001:db8::5");
    EXPECT_EQ(steps, 0);
    // A name that exists goes as it is: the service tries its addresses of both families.
    EXPECT_EQ(entry::DialableHost(typed("localhost"), counted), "localhost");
    EXPECT_EQ(steps, 1); // the lookup blocks: it ran where the caller runs blocking steps
}

TEST(DialableHost, ANameNobodyHasIsToldPlainly) {
    try {
        // The .invalid domain never exists.
        entry::DialableHost({entry::TTypedAddress::Name, "no-such-host.invalid", 0});
        ADD_FAILURE() << "taken";
    } catch (const platform::Exception& e) {
        const std::string told = Utf8(e.Message);
        EXPECT_TRUE(told == "ホスト名 no-such-host.invalid が見つかりません" ||
                    told.find("を調べられません") != std::string::npos)
            << told;
        EXPECT_NE(e.Details.find("no-such-host.invalid"), std::string::npos) << e.Details;
    }
}
