// What only a window manager shows: windows that stay on screen while their
// chat window is minimised, and placement by framed window positions. Run
// under Xvfb with openbox (test_tchat_window_manager); skipped elsewhere.
#include "TchatFixture.h"

#include "game/Tjyankenfm.h"

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

} // namespace tchattest
