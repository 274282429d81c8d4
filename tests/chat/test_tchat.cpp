// The chat window on real sessions over loopback: sending, receiving,
// arrivals and departures, keys, the arrival notification and the window
// count messages.
#include "TchatFixture.h"

#include "chat/Tchat.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"
#include "dplay/api/DirectPlay.h"
#include "platform/ErrorHandler.h"
#include "platform/QtText.h"
#include "platform/WinMessage.h"
#include "settings/TOptfm.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using namespace apptest;

namespace {

using namespace tchattest;

TEST_F(TchatTest, OwnEntryIsInTheLogOnceWhenTheSendReturns) {
    Tchat* a = Open("Taro", "Room", true);
    EXPECT_EQ(LogLines(a), (std::vector<std::string>{"127.0.0.1:Taro さんが入室しました。"}));
    EXPECT_EQ(a->SelfName, "127.0.0.1:Taro");
    EXPECT_EQ(a->Members->Count(), 1);

    QTest::keyClicks(a->Memo, "hello");
    a->btn_send->click();
    EXPECT_EQ(LogLines(a),
              (std::vector<std::string>{"127.0.0.1:Taro さんが入室しました。", "<Taro>hello"}));
    EXPECT_TRUE(a->Memo->toPlainText().isEmpty());
    EXPECT_EQ(a->windowTitle(), "Parlora:Room [2行]");

    // An empty box still sends (a 13-byte text) but adds no line.
    a->btn_send->click();
    EXPECT_EQ(a->Log->LineCount(), 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(a->Log->LineCount(), 2); // and no second copy arrives later
}

TEST_F(TchatTest, TwoRoomsInOneProcessExchangeTextsWithTheirHeaders) {
    Tchat* a = Open("Taro", "R1", true);
    Tchat* other = Open("Jiro", "R2", true);
    Tchat* b = Open("Hanako", "R1", false);

    // The newcomer's first line is its own arrival, full player name; the
    // member already present shows only as a label.
    EXPECT_EQ(LogLines(b), (std::vector<std::string>{"127.0.0.1:Hanako さんが入室しました。"}));
    EXPECT_EQ(b->Members->Count(), 2);
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "127.0.0.1:Hanako さんが入室しました。"); }));
    EXPECT_EQ(a->Members->Count(), 2);

    Type(a, "こんにちは\n二行目");
    a->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(b, "二行目"); }));
    const auto bLines = LogLines(b);
    ASSERT_GE(bLines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(bLines.end() - 3, bLines.end()),
              (std::vector<std::string>{"<Taro>", "こんにちは", "二行目"}));

    Type(b, "表示ソ能");
    QTest::keyClick(b->Memo, Qt::Key_S, Qt::ControlModifier); // Ctrl+S sends too
    EXPECT_TRUE(LogHas(b, "<Hanako>表示ソ能"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "<Hanako>表示ソ能"); }));
    // Entries carry the sender's member colour: Taro black, Hanako blue.
    EXPECT_EQ(a->Members->ColorOf("127.0.0.1:Hanako"), QColor(0, 0, 255));

    // The room next door heard nothing.
    EXPECT_EQ(LogLines(other), (std::vector<std::string>{"127.0.0.1:Jiro さんが入室しました。"}));

    // Leaving: the others see the handle only.
    b->close();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "Hanako さんが退室しました。"); }));
    EXPECT_EQ(a->Members->Count(), 1);
}

TEST_F(TchatTest, EnterSendsOnlyWhenTicked) {
    Tchat* a = Open("Taro", "Keys", true);
    QTest::keyClicks(a->Memo, "one");
    QTest::keyClick(a->Memo, Qt::Key_Return);
    QTest::keyClicks(a->Memo, "two");
    EXPECT_EQ(a->Memo->toPlainText(), "one\ntwo");
    a->CB_Enter->setChecked(true);
    QTest::keyClick(a->Memo, Qt::Key_Return);
    EXPECT_TRUE(a->Memo->toPlainText().isEmpty());
    EXPECT_EQ(LogLines(a).back(), "two");
    EXPECT_EQ(LogLines(a)[a->Log->LineCount() - 2], "one");
    // Ctrl+Shift+S does not send.
    QTest::keyClicks(a->Memo, "x");
    QTest::keyClick(a->Memo, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(LogLines(a).back(), "two");
}

TEST_F(TchatTest, PopUpRestoresAMinimisedWindowOnly) {
    Tchat* a = Open("Taro", "Notify", true);
    Tchat* b = Open("Hanako", "Notify", false);
    optfm->K3->setChecked(true);

    // A window manager minimises on its own time; without one (offscreen,
    // a bare X server) a window cannot be minimised at all.
    a->showMinimized();
    if (!WaitUntil([&] { return a->isMinimized(); }, 3000)) {
        if (std::getenv("PARLORA_TEST_WINDOW_MANAGER")) FAIL() << "the window was not minimised";
        GTEST_SKIP() << "windows cannot be minimised on this platform";
    }
    Type(b, "wake up");
    b->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "<Hanako>wake up"); }));
    EXPECT_TRUE(WaitUntil([&] { return !a->isMinimized(); }, 3000));

    // A maximised window comes back maximised.
    a->showMaximized();
    ASSERT_TRUE(WaitUntil([&] { return a->isMaximized(); }, 3000));
    a->setWindowState(a->windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(WaitUntil([&] { return a->isMinimized(); }, 3000));
    Type(b, "and again");
    b->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "<Hanako>and again"); }));
    EXPECT_TRUE(WaitUntil([&] { return !a->isMinimized(); }, 3000));
    QTest::qWait(300);
    EXPECT_TRUE(a->isMaximized());
    a->showNormal();

    // "音で知らせる ＆ ポップアップ" calls for attention without restoring the
    // window, and "なにもしない" does nothing: a minimised window stays down.
    for (QRadioButton* choice : {optfm->K4, optfm->K5}) {
        SCOPED_TRACE(choice->objectName().toStdString());
        choice->setChecked(true);
        a->showMinimized();
        ASSERT_TRUE(WaitUntil([&] { return a->isMinimized(); }, 3000));
        const std::string text = "knock " + choice->objectName().toStdString();
        Type(b, text.c_str());
        b->btn_send->click();
        ASSERT_TRUE(WaitUntil([&] { return LogHas(a, ("<Hanako>" + text).c_str()); }));
        QTest::qWait(300); // time for a restore that must not come
        EXPECT_TRUE(a->isMinimized());
    }

    // A window that is not minimised is left alone: it does not take the
    // focus from the one the user types in.
    optfm->K3->setChecked(true);
    a->showNormal();
    ASSERT_TRUE(WaitUntil([&] { return !a->isMinimized(); }, 3000));
    b->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == b; }, 3000));
    Type(b, "quietly");
    b->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "<Hanako>quietly"); }));
    QTest::qWait(300); // time for an activation that must not come
    EXPECT_EQ(QApplication::activeWindow(), b);
}

TEST_F(TchatTest, WindowsAreCountedInAndOut) {
    Tchat* a = Open("Taro", "Count", true);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.Counts, (std::vector<intptr_t>{0}));
    a->NewRoomClick(); // the new window's start dialog is cancelled
    cancelStart = true;
    ASSERT_TRUE(WaitUntil([&] { return counter.Counts.size() == 3; }));
    EXPECT_EQ(counter.Counts, (std::vector<intptr_t>{0, 0, 1}));
    a->ExitRoomClick();
    ASSERT_TRUE(WaitUntil([&] { return counter.Counts.size() == 4; }));
    EXPECT_EQ(counter.Counts.back(), 1);
}

} // namespace
