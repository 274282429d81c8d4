// What only a window manager shows: windows that stay on screen while their
// chat window is minimised, and placement by framed window positions. Run
// under Xvfb with openbox (test_tchat_window_manager); skipped elsewhere.
#include "TchatFixture.h"

#include "chat/TAboutBox.h"
#include "game/Tjyankenfm.h"
#include "platform/TRegistry.h"
#include "settings/SettingsKeys.h"
#include "support/TempDir.h"
#include "templates/TTempfm.h"

#include <QAction>
#include <QLabel>
#include <QScreen>

#include <QTest>
#include <QWindow>
#include <cstdlib>

namespace tchattest {

class TchatFramesTest : public TchatTest {
  protected:
    void SetUp() override {
        if (!std::getenv("PARLORA_TEST_WINDOW_MANAGER"))
            GTEST_SKIP() << "needs a window manager (test_tchat_window_manager)";
        TchatTest::SetUp();
    }
    // Shown, framed and placed by the window manager.
    static bool Framed(QWidget* w) {
        return WaitUntil([&] {
            return w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed() &&
                   w->frameGeometry() != w->geometry();
        });
    }
};

TEST_F(TchatFramesTest, TheGameWindowStaysWhileItsChatWindowIsMinimised) {
    Tchat* a = Open("Taro", "Stay", true);
    ASSERT_TRUE(Framed(a));
    a->JyankenClick();
    QPointer<Tjyankenfm> game = a->JyankenForm;
    ASSERT_TRUE(game);
    ASSERT_TRUE(Framed(game));

    a->showMinimized();
    ASSERT_TRUE(WaitUntil([&] { return a->isMinimized(); }, 5000));
    QTest::qWait(500); // time for the window manager to take the game down too
    EXPECT_FALSE(game->isMinimized());
    EXPECT_TRUE(game->windowHandle()->isExposed()) << "the game window went with its chat window";
    a->showNormal();

    // It still goes with its chat window.
    delete a;
    EXPECT_TRUE(game.isNull());
}

TEST_F(TchatFramesTest, TheStoredPositionIsWhereTheFrameWasAndStaysThere) {
    platform::TRegistry(platform::RegRoot::CurrentUser).DeleteKey(settings::kCustomKey);
    {
        platform::TRegistry reg(platform::RegRoot::CurrentUser);
        ASSERT_TRUE(reg.OpenKey(settings::kCustomKey, true));
        reg.WriteInteger("Top", 120);
        reg.WriteInteger("left", 150);
        reg.WriteInteger("width", 480);
        reg.WriteInteger("height", 420);
        reg.WriteBool("ShowMember", true);
        reg.WriteBool("ShowRoomName", true);
    }
    // Three runs: a window that crept would climb a title bar each time.
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        Tchat* chat = Open("Taro", ("Run" + std::to_string(run)).c_str(), true);
        ASSERT_TRUE(Framed(chat));
        EXPECT_EQ(chat->frameGeometry().topLeft(), QPoint(150, 120));
        EXPECT_EQ(chat->size(), QSize(480, 420));
        chat->close();
        ASSERT_TRUE(WaitUntil([&] { return chats.back().isNull(); }));
        platform::TRegistry reg(platform::RegRoot::CurrentUser);
        ASSERT_TRUE(reg.OpenKey(settings::kCustomKey, false));
        EXPECT_EQ(reg.ReadInteger("Top"), 120);
        EXPECT_EQ(reg.ReadInteger("left"), 150);
    }
}

TEST_F(TchatFramesTest, GameAndTemplateWindowsMeetTheChatWindowAtTheirFirstShow) {
    testsupport::TempDir dir;
    TTempfm templates(dir / "parlora.ini");
    context.Tempfm = &templates;
    Tchat* chat = Open("Taro", "Beside", true);
    ASSERT_TRUE(Framed(chat));
    chat->move(100, 80); // the frame's position, once the frame is known
    ASSERT_TRUE(WaitUntil([&] { return chat->frameGeometry().topLeft() == QPoint(100, 80); }));
    const QRect c = chat->frameGeometry();

    chat->JyankenClick();
    Tjyankenfm* game = chat->JyankenForm;
    ASSERT_TRUE(game && Framed(game));
    EXPECT_TRUE(WaitUntil([&] { return game->frameGeometry().topRight() == c.topRight(); }))
        << "game frame at " << game->frameGeometry().x() << "," << game->frameGeometry().y();

    chat->MessageTmp->trigger();
    ASSERT_TRUE(Framed(&templates));
    EXPECT_TRUE(WaitUntil([&] {
        return templates.frameGeometry().topLeft() == QPoint(c.right() + 1, c.top());
    })) << "template frame at "
        << templates.frameGeometry().x() << "," << templates.frameGeometry().y();
    context.Tempfm = nullptr;
}

TEST_F(TchatFramesTest, CentredWindowsAreCentredWithTheirFrames) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    auto centred = [&](QWidget* w) {
        const QRect f = w->frameGeometry();
        return std::abs(f.center().x() - area.center().x()) <= 1 &&
               std::abs(f.center().y() - area.center().y()) <= 1;
    };
    optfm->show();
    ASSERT_TRUE(Framed(optfm.get()));
    EXPECT_TRUE(WaitUntil([&] { return centred(optfm.get()); }))
        << optfm->frameGeometry().x() << "," << optfm->frameGeometry().y();
    optfm->hide();

    // The version dialog over where the (frameless) main form was.
    QWidget mainForm(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint);
    mainForm.setGeometry(200, 150, 306, 136);
    QLabel version(QStringLiteral("Version 3.2b   "));
    TAboutBox about(&mainForm, &version);
    about.show();
    ASSERT_TRUE(Framed(&about));
    const QPoint mainCentre = mainForm.geometry().center();
    EXPECT_TRUE(WaitUntil([&] {
        const QPoint c = about.frameGeometry().center();
        return std::abs(c.x() - mainCentre.x()) <= 1 && std::abs(c.y() - mainCentre.y()) <= 1;
    })) << about.frameGeometry().x()
        << "," << about.frameGeometry().y();
    about.hide();

    // The template window without a chat window to meet.
    testsupport::TempDir dir;
    TTempfm templates(dir / "parlora.ini");
    templates.show();
    ASSERT_TRUE(Framed(&templates));
    EXPECT_TRUE(WaitUntil([&] { return centred(&templates); }))
        << templates.frameGeometry().x() << "," << templates.frameGeometry().y();
}

} // namespace tchattest
