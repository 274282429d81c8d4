// The game window over real sessions on loopback. Each member here is a
// small stand-in for the chat window's part: it dispatches what arrives and
// opens, feeds and closes its game window as the chat window does.
#include "chat_core/ChatPayload.h"
#include "game/Tjyankenfm.h"
#include "platform/Cp932.h"
#include "session/SessionTestSupport.h"

#include <QCoreApplication>
#include <QPointer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

using namespace sessiontest;

namespace {

struct Player {
    explicit Player(const std::string& name) : name(name) {
        member.Session.OnMessage = [this](TCustomDPSession*, TDPPlayer* from, const void* data,
                                          int size) {
            chat::TPayloadEvents ev;
            ev.OnGameLine = [this](const AnsiString& line) {
                log.push_back(platform::Cp932ToUtf8(line));
            };
            ev.OnJyankenReset = [this](const AnsiString&) {
                if (game) game->close();
            };
            ev.OnJyankenDecided = [this](const AnsiString& handle) {
                Open();
                game->HandDecided(handle);
            };
            chat::DispatchPayload(from->Name, data, static_cast<size_t>(size), ev);
        };
    }
    void Open() {
        if (!game) {
            game = new Tjyankenfm(&window, &member.Session);
            game->OnFormClose = [this] { game = nullptr; };
            ++opened;
        }
        game->show();
    }
    void Press(int tag) {
        Open();
        QToolButton* b[] = {nullptr,      game->btn_guu,  game->btn_tyoki,
                            game->btn_pa, game->btn_pass, game->SpeedButton1};
        b[tag]->click();
    }
    std::string name;
    QWidget window;
    QPointer<Tjyankenfm> game;
    int opened = 0;
    std::vector<std::string> log;
    TMember member;
};

} // namespace

TEST(Jyanken, AMemberAlonePlaysARound) {
    uint16_t port = FreshPort();
    Player taro("taro");
    taro.member.Create(port, "room", "127.0.0.1:taro");
    taro.Press(2);
    EXPECT_EQ(taro.log, (std::vector<std::string>{"taroがJyankenの手を決めました",
                                                  "taroはちょきを出しました"}));
    EXPECT_TRUE(taro.game.isNull()); // closed after the reveal, freed later
    taro.Press(4);                   // a new round in a new window
    EXPECT_EQ(taro.log.back(), "taroは棄権しました");
    EXPECT_EQ(taro.opened, 2);
}

TEST(Jyanken, TwoMembersSeeBothDecisionsAndBothReveals) {
    uint16_t port = FreshPort();
    Player taro("taro"), hana("hana");
    taro.member.Create(port, "room", "127.0.0.1:taro");
    hana.member.Join("127.0.0.1", port, "room", "127.0.0.1:hana");
    ASSERT_TRUE(WaitUntil([&] { return taro.member.Session.PlayerList().Count() == 2; }));

    taro.Press(1);
    taro.Press(3); // a second press in the same round sends nothing
    ASSERT_TRUE(WaitUntil([&] { return hana.log.size() == 1; }));
    EXPECT_EQ(taro.log, (std::vector<std::string>{"taroがJyankenの手を決めました"}));
    ASSERT_FALSE(hana.game.isNull()); // the decision opened hana's window

    hana.Press(3);
    ASSERT_TRUE(WaitUntil([&] { return taro.log.size() == 4 && hana.log.size() == 4; }));
    for (auto* p : {&taro, &hana}) {
        EXPECT_EQ(p->log[0], "taroがJyankenの手を決めました");
        EXPECT_EQ(p->log[1], "hanaがJyankenの手を決めました");
        std::vector<std::string> reveals(p->log.begin() + 2, p->log.end());
        std::sort(reveals.begin(), reveals.end());
        EXPECT_EQ(reveals,
                  (std::vector<std::string>{"hanaはぱぁを出しました", "taroはぐぅを出しました"}));
        EXPECT_TRUE(p->game.isNull());
    }
}

TEST(Jyanken, ResetBeforeAnyDecisionClosesEveryWindow) {
    uint16_t port = FreshPort();
    Player taro("taro"), hana("hana");
    taro.member.Create(port, "room", "127.0.0.1:taro");
    hana.member.Join("127.0.0.1", port, "room", "127.0.0.1:hana");
    ASSERT_TRUE(WaitUntil([&] { return taro.member.Session.PlayerList().Count() == 2; }));
    hana.Open();
    taro.Press(5);
    ASSERT_TRUE(WaitUntil([&] { return hana.log.size() == 1; }));
    EXPECT_EQ(taro.log, (std::vector<std::string>{"Jyankenはtaroによってリセットされました"}));
    EXPECT_EQ(hana.log, taro.log);
    EXPECT_TRUE(WaitUntil([&] { return taro.game.isNull() && hana.game.isNull(); }));
}

TEST(Jyanken, SameHandleTwiceCountsOnceAndNoSessionSendsNothing) {
    uint16_t port = FreshPort();
    Player a("a"), b("b");
    a.member.Create(port, "room", "127.0.0.1:Sam");
    b.member.Join("127.0.0.1", port, "room", "127.0.0.2:sam");
    ASSERT_TRUE(WaitUntil([&] { return a.member.Session.PlayerList().Count() == 2; }));
    a.Press(1);
    b.Press(2);
    ASSERT_TRUE(WaitUntil([&] { return a.log.size() == 2 && b.log.size() == 2; }));
    // "Sam" and "sam" are one handle: the round never completes.
    QCoreApplication::processEvents();
    EXPECT_EQ(a.game->Decided.size(), 1u);
    EXPECT_FALSE(a.game.isNull());

    a.member.Session.CloseSession();
    a.game->MyHand = -1;
    a.game->btn_guu->click(); // no own player: nothing is sent, nothing breaks
    EXPECT_EQ(a.log.size(), 2u);
}
