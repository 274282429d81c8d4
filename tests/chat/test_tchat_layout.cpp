// Resizing a chat window: the message box's share of the height.
#include "NameGuideHarness.h"

using testsupport::WaitUntil;

namespace {

int Shared(const GuideWindow& w) {
    return w.Log->height() + w.Memo->height();
}

} // namespace

TEST(ChatLayout, MessageBoxTakesHalfOfTheSharedHeightButNeverAbove88) {
    GuideWindow w;
    EXPECT_EQ(w.Memo->height(), 88);

    w.Window.resize(487, 900);
    ASSERT_TRUE(WaitUntil([&] { return w.Window.height() == 900; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Shared(w) > 700; }, 5000));
    EXPECT_EQ(w.Memo->height(), 88);

    // The user drags the message box taller; the next resize takes it back.
    w.Splitter->setSizes({300, 400});
    EXPECT_GT(w.Memo->height(), 88);
    w.Window.resize(487, 880);
    ASSERT_TRUE(WaitUntil([&] { return w.Memo->height() == 88; }, 5000));

    // Shrunk to the smallest window: half of what is shared.
    w.Window.resize(300, 240);
    ASSERT_TRUE(WaitUntil([&] { return w.Window.height() == 240; }, 5000));
    QApplication::processEvents();
    EXPECT_LT(Shared(w), 2 * 88);
    EXPECT_EQ(w.Memo->height(), Shared(w) / 2);

    // The bottom controls keep their order: splitter, box, buttons, status bar.
    EXPECT_LT(w.Log->geometry().bottom(), w.Memo->geometry().top());
    const int memoBottom = w.Memo->mapTo(&w.Window, QPoint(0, w.Memo->height())).y();
    EXPECT_LE(memoBottom, w.Buttons->y());
    EXPECT_LE(w.Buttons->geometry().bottom(), w.StBar->y());
    EXPECT_EQ(w.StBar->geometry().bottom(), w.Window.height() - 1);
    EXPECT_GT(w.Arranged, 0) << "the member labels were wrapped again";
}
