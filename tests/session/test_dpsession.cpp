// Checks, texts and state rules of the session component that need no peer.
#include "SessionTestSupport.h"

#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDPSessionError& e) {
        return Utf8(e.Message);
    }
    return "(none)";
}

} // namespace

TEST(DPSession, ConstructionDefaultsAndGuidProperty) {
    TDPSession s;
    EXPECT_EQ(s.GUID(), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(s.MaxPlayers(), 0);
    EXPECT_FALSE(s.Async());
    EXPECT_FALSE(s.Opened());
    EXPECT_EQ(s.OwnPlayer(), nullptr);

    s.SetGUID("{0e9a4a5c-1b2d-4c3e-8f70-11223344556f}");
    EXPECT_EQ(s.GUID(), "{0E9A4A5C-1B2D-4C3E-8F70-11223344556F}");
    s.SetGUID("");
    EXPECT_EQ(s.GUID(), "{00000000-0000-0000-0000-000000000000}");
    for (const char* bad :
         {"0E9A4A5C-1B2D-4C3E-8F70-11223344556F", "{0E9A4A5C-1B2D-4C3E-8F70-11223344556}",
          "{0E9A4A5Cx1B2D-4C3E-8F70-11223344556F}", "{GE9A4A5C-1B2D-4C3E-8F70-11223344556F}"}) {
        EXPECT_EQ(ErrorOf([&] { s.SetGUID(bad); }), "不明なエラー (-2147221005)") << bad;
    }
    EXPECT_EQ(s.GUID(), "{00000000-0000-0000-0000-000000000000}");
}

TEST(DPSession, ProvidersAndConnectionChecks) {
    TDPSession s;
    ASSERT_GE(s.ProviderList().Count(), 1);
    EXPECT_EQ(s.ProviderList().Guids(0).ToString(), "{36E95EE0-8577-11CF-960C-0080C7534E82}");
    const AnsiString name = s.ProviderList().Names(0);

    // Not connected: every operation that needs the service says so.
    EXPECT_EQ(ErrorOf([&] { s.RefreshSessions(); }),
              "現在 TDPSession コンポーネントは接続していません");
    EXPECT_EQ(ErrorOf([&] { s.OpenSession(true, "r", "p"); }),
              "現在 TDPSession コンポーネントは接続していません");
    s.SendData(0, "ab", 2); // not open: nothing, whatever the size

    EXPECT_EQ(ErrorOf([&] { s.SetProvider("Nonesuch"); }),
              "プロバイダ 'Nonesuch' が見つかりません");
    EXPECT_EQ(s.CurrentProviderName(), "");

    // Provider names ignore letter case; the name asked for is kept.
    AnsiString lower = name;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.SetProvider(lower);
    EXPECT_EQ(s.CurrentProviderName(), lower);

    // Name checks, in order.
    EXPECT_EQ(ErrorOf([&] { s.OpenSession(true, "", ""); }), "セッション名が指定されていません");
    EXPECT_EQ(ErrorOf([&] { s.OpenSession(true, "room", ""); }),
              "プレイヤー名が指定されていません");
    s.SetProvider("");
    EXPECT_EQ(s.CurrentProviderName(), "");
}

TEST(DPSession, UnreachableHostFailsTheListCleanly) {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    TMember m;
    m.Connect("127.0.0.1", FreshPort()); // nobody there
    EXPECT_EQ(ErrorOf([&] { m.Session.RefreshSessions(); }), "セッションのリストを取得できません");
    EXPECT_EQ(ErrorOf([&] { m.Session.OpenSession(false, "room", "p"); }),
              "セッションのリストを取得できません");
    EXPECT_FALSE(m.Session.Opened());
}

TEST(DPSession, CloseFiresOnCloseOnceAndResets) {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    TMember m;
    uint16_t port = FreshPort();
    m.Create(port, "room", Sjis("127.0.0.1:表示"));
    EXPECT_EQ(m.Session.OwnPlayer()->Name, Sjis("127.0.0.1:表示"));
    EXPECT_EQ(m.Session.CurrentSessionName(), "room");
    m.Session.CloseSession();
    m.Session.CloseSession();
    EXPECT_EQ(std::count(m.Events.begin(), m.Events.end(), "close"), 1);
    EXPECT_EQ(m.Session.CurrentProviderName(), "");
    EXPECT_EQ(m.Session.CurrentSessionName(), "");
    EXPECT_EQ(m.Session.PlayerList().Count(), 0);
    EXPECT_FALSE(m.Session.IsSessionHost());
    // Closed means Idle: a new session starts with SetProvider.
    EXPECT_EQ(ErrorOf([&] { m.Session.RefreshSessions(); }),
              "現在 TDPSession コンポーネントは接続していません");

    // An OnClose handler that fails still leaves the component closed.
    m.Create(port, "room", "p");
    m.Session.OnClose = [](TCustomDPSession*) { throw EDPSessionError("close handler"); };
    EXPECT_EQ(ErrorOf([&] { m.Session.CloseSession(); }), "close handler");
    EXPECT_FALSE(m.Session.Opened());
    EXPECT_EQ(m.Session.OwnPlayer(), nullptr);
    m.Session.OnClose = nullptr;
}

TEST(DPSession, PlayerCollection) {
    TDPPlayers players;
    TDPPlayer* a = players.Add();
    a->Id = 5;
    TDPPlayer* b = players.Add();
    b->Id = 6;
    EXPECT_EQ(players.IndexOf(6), 1);
    EXPECT_EQ(players.IndexOf(7), -1);
    EXPECT_EQ(players.Find(5), a);
    EXPECT_EQ(ErrorOf([&] { players.Find(7); }), "指定された ID のプレイヤーが見つかりません");
    delete a; // freeing an item takes it out
    EXPECT_EQ(players.Count(), 1);
    EXPECT_EQ(players[0], b);
}

TEST(DPSession, NameListLookupIgnoresCaseOfSingleByteLettersOnly) {
    TDPNameGuidList list;
    list.Add("Room", {});
    list.Add(Sjis("ソa"), {}); // ソ is 0x83 0x5C
    EXPECT_EQ(list.IndexOfName("ROOM"), 0);
    EXPECT_EQ(list.IndexOfName(Sjis("ソA")), 1);
    // "\x83\x7C" is another character: a trail byte is never folded.
    EXPECT_EQ(list.IndexOfName("\x83\x7C"
                               "a"),
              -1);
    EXPECT_FALSE(SameTextCp932(Sjis("ポ"), Sjis("ボ")));
    // A name ending in a lead byte without its second byte is still itself.
    list.Add("x\x81", {});
    EXPECT_EQ(list.IndexOfName("X\x81"), 2);
    EXPECT_FALSE(SameTextCp932("x\x81", "x\x82"));
}

TEST(DPSession, SettingsCopy) {
    TDPSession s;
    TDPTCPIPSetting t;
    t.Enabled = true;
    t.HostName = "host";
    t.Port = 1234;
    s.SetTCPIPSetting(t);
    EXPECT_TRUE(s.TCPIPSetting().Enabled);
    EXPECT_EQ(s.TCPIPSetting().HostName, "host");
    EXPECT_EQ(s.TCPIPSetting().Port, 1234);
    TDPModemSetting m;
    m.Enabled = true;
    m.PhoneNumber = "123";
    m.ModemDevice = "modem";
    s.SetModemSetting(m);
    EXPECT_EQ(s.ModemSetting().ModemDevice, "modem");
}
