// The rock-paper-scissors and template windows driven through real chat
// windows on loopback.
#include "TchatFixture.h"

#include "game/Tjyankenfm.h"
#include "support/TempDir.h"
#include "templates/TTempfm.h"

#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

namespace {

using namespace tchattest;

std::vector<std::string> Tail(const Tchat* chat, size_t n) {
    auto lines = LogLines(chat);
    return {lines.end() - static_cast<long>(std::min(n, lines.size())), lines.end()};
}

QToolButton* Hand(Tchat* chat, int tag) {
    if (!chat->JyankenForm) chat->JyankenClick();
    Tjyankenfm* g = chat->JyankenForm;
    QToolButton* all[] = {nullptr,   g->btn_guu,  g->btn_tyoki,
                          g->btn_pa, g->btn_pass, g->SpeedButton1};
    return all[tag];
}

class TchatGamesTest : public TchatTest {
  protected:
    void SetUp() override {
        TchatTest::SetUp();
        tempfm = std::make_unique<TTempfm>(dir / "parlora.ini");
        context.Tempfm = tempfm.get();
    }
    void TearDown() override {
        TchatTest::TearDown();
        tempfm.reset();
    }
    testsupport::TempDir dir;
    std::unique_ptr<TTempfm> tempfm;
};

TEST_F(TchatGamesTest, TwoMembersPlayARoundAndEveryLogHasEveryLine) {
    Tchat* a = Open("Taro", "R", true);
    Tchat* b = Open("Hanako", "R", false);
    ASSERT_TRUE(WaitUntil([&] { return a->Members->Count() == 2; }));

    Hand(a, 1)->click();
    Hand(a, 3)->click(); // a second press in the same round sends nothing
    ASSERT_TRUE(WaitUntil([&] { return LogHas(b, "TaroがJyankenの手を決めました"); }));
    EXPECT_FALSE(b->JyankenForm.isNull()); // the decision opened Hanako's window
    EXPECT_EQ(Tail(a, 1), (std::vector<std::string>{"TaroがJyankenの手を決めました"}));

    Hand(b, 4)->click(); // pass counts as a pick
    for (Tchat* c : {a, b}) {
        ASSERT_TRUE(WaitUntil([&] { return LogHas(c, "Hanakoは棄権しました"); }));
        ASSERT_TRUE(WaitUntil([&] { return LogHas(c, "Taroはぐぅを出しました"); }));
        auto tail = Tail(c, 4);
        EXPECT_EQ(tail[0], "TaroがJyankenの手を決めました");
        EXPECT_EQ(tail[1], "HanakoがJyankenの手を決めました");
        EXPECT_TRUE(WaitUntil([&] { return c->JyankenForm.isNull(); }));
    }
    // Game lines carry no sender: red in the log.
    EXPECT_EQ(a->Members->ColorOf(""), QColor(255, 0, 0));
}

TEST_F(TchatGamesTest, ResetClosesEveryGameWindow) {
    Tchat* a = Open("Taro", "R", true);
    Tchat* b = Open("Hanako", "R", false);
    ASSERT_TRUE(WaitUntil([&] { return a->Members->Count() == 2; }));
    b->JyankenClick();
    ASSERT_FALSE(b->JyankenForm.isNull());
    Hand(a, 5)->click(); // RESET before anyone decided
    for (Tchat* c : {a, b}) {
        ASSERT_TRUE(
            WaitUntil([&] { return LogHas(c, "JyankenはTaroによってリセットされました"); }));
        EXPECT_TRUE(WaitUntil([&] { return c->JyankenForm.isNull(); }));
    }
}

TEST_F(TchatGamesTest, TemplatesGoToTheMostRecentlyActiveChatWindow) {
    Tchat* a = Open("Taro", "R1", true);
    Tchat* b = Open("Jiro", "R2", true);
    a->MessageTmp->setChecked(true);
    a->MessageTmpClick();
    EXPECT_TRUE(tempfm->isVisible());
    EXPECT_EQ(tempfm->Chat(), a);

    a->Memo->setPlainText(QString::fromUtf8("おはよう\nよろしく"));
    tempfm->btn_Put->click();
    EXPECT_TRUE(a->Memo->toPlainText().isEmpty());
    ASSERT_EQ(tempfm->ListBox->count(), 1);

    // b becomes the active window: its item shows the open template window,
    // and templates go there now.
    EXPECT_FALSE(b->MessageTmp->isChecked());
    b->FormActivate();
    EXPECT_TRUE(b->MessageTmp->isChecked());
    EXPECT_EQ(tempfm->Chat(), b);
    b->Memo->setPlainText("typed");
    tempfm->ListBox->setCurrentRow(0);
    tempfm->ListBoxDblClick();
    EXPECT_EQ(b->Memo->toPlainText(), QString::fromUtf8("おはよう\nよろしく"));
    EXPECT_TRUE(a->Memo->toPlainText().isEmpty());

    // The check follows the window when the menu opens and on activation.
    tempfm->close();
    b->Tool1Click();
    EXPECT_FALSE(b->MessageTmp->isChecked());
    EXPECT_TRUE(a->MessageTmp->isChecked());
    a->FormActivate();
    EXPECT_FALSE(a->MessageTmp->isChecked());

    // A destroyed chat window is forgotten.
    delete b;
    EXPECT_EQ(tempfm->Chat(), nullptr);
}

} // namespace
