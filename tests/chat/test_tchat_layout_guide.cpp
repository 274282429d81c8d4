// The chat window itself: its keys, name guide and resizing as the user
// meets them.
#include "chat/Tchat.h"
#include "chat/TchatKeys.h"
#include "chat/TchatNameGuide.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"

#include "platform/ErrorHandler.h"
#include "support/BoxCatcher.h"
#include "support/Wait.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <gtest/gtest.h>

using testsupport::WaitUntil;

namespace {

class TchatGuideTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context.RunStartDialog = [](Tchat&) {
            TchatStartResult result;
            result.ModalResult = 1;
            result.RoomName = "Room";
            result.Handle = "taro";
            return result;
        };
        chat = new Tchat(context);
        chat->show();
        ASSERT_TRUE(WaitUntil([&] { return !chat->RoomName.empty(); }, 5000));
    }
    void TearDown() override { delete chat.data(); }

    TchatContext context;
    QPointer<Tchat> chat;
    testsupport::TBoxCatcher boxes;
};

} // namespace

TEST_F(TchatGuideTest, GuideOffersTheMembersHandlesAndEnterPutsOneIn) {
    chat->Members->Add("127.0.0.1:taro");
    chat->Members->Add("127.0.0.2:hanako");
    chat->CB_Enter->setChecked(true);
    QTest::keyClicks(chat->Memo, "hi >");
    ASSERT_TRUE(WaitUntil([&] { return chat->NameGuide->Visible(); }, 5000));
    QListWidget* list = chat->NameGuide->ListBox;
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), "taro");
    EXPECT_EQ(list->item(1)->text(), "hanako");
    QTest::keyClick(chat->Memo, Qt::Key_Down);
    QTest::keyClick(chat->Memo, Qt::Key_Return);
    EXPECT_EQ(chat->Memo->toPlainText(), "hi >hanako") << "the guide's Enter does not send";
}

TEST_F(TchatGuideTest, CtrlSSendsFromAnyControlOfTheWindow) {
    QTest::keyClicks(chat->Memo, "text");
    // Without a room the send fails, but it empties the box: it was tried.
    QTest::keyClick(chat->btn_Font, Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(chat->Memo->toPlainText().isEmpty());
    QTest::keyClicks(chat->Memo, "more");
    QTest::keyClick(chat->Log, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(chat->Memo->toPlainText(), "more");
}

TEST_F(TchatGuideTest, MessageBoxNeverTallerThan88) {
    chat->resize(700, 900);
    ASSERT_TRUE(WaitUntil([&] { return chat->height() == 900; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return chat->Memo->height() == 88; }, 5000));

    chat->resize(300, 240);
    ASSERT_TRUE(WaitUntil([&] { return chat->size() == QSize(300, 240); }, 5000))
        << "the smallest window is 300 x 240";
    const int shared = chat->Log->height() + chat->Memo->height();
    EXPECT_EQ(chat->Memo->height(), shared / 2);
    EXPECT_LT(chat->Log->geometry().bottom(), chat->Memo->geometry().top());
}

TEST_F(TchatGuideTest, AWindowGoingInactiveStopsItsGuide) {
    chat->Members->Add("127.0.0.1:taro");
    // A ">" typed just before the window goes inactive never pops up.
    QTest::keyClicks(chat->Memo, ">");
    chat->FormDeactivate();
    QTest::qWait(1000);
    EXPECT_FALSE(chat->NameGuide->Visible());
    // While inactive, edits arriving in the box do not arm it either.
    QTest::keyClicks(chat->Memo, " >");
    QTest::qWait(1000);
    EXPECT_FALSE(chat->NameGuide->Visible());

    // Active again, the guide works, and a guide on show goes with the focus.
    chat->FormActivate();
    QTest::keyClicks(chat->Memo, ">");
    ASSERT_TRUE(WaitUntil([&] { return chat->NameGuide->Visible(); }, 5000));
    chat->FormDeactivate();
    EXPECT_FALSE(chat->NameGuide->Visible());
}

TEST_F(TchatGuideTest, ADraggedMessageBoxKeepsItsHeightUntilTheWindowIsResized) {
    chat->resize(600, 600);
    ASSERT_TRUE(WaitUntil([&] { return chat->Memo->height() == 88; }, 5000));
    // The user drags the splitter: a taller message box.
    const int shared = chat->Log->height() + chat->Memo->height();
    chat->Splitter1->setSizes({shared - 150, 150});
    ASSERT_EQ(chat->Memo->height(), 150);
    // A second row of member labels, and the room-name panel switched off:
    // the log takes the difference.
    for (int i = 1; i <= 10; ++i)
        chat->Members->Add("127.0.0." + std::to_string(i) + ":member_with_a_long_name");
    chat->ShowRoomName->trigger();
    QApplication::processEvents();
    EXPECT_EQ(chat->Memo->height(), 150);
    // Resizing the window shares the space again.
    chat->resize(600, 700);
    EXPECT_TRUE(WaitUntil([&] { return chat->Memo->height() == 88; }, 5000));
}

TEST_F(TchatGuideTest, NothingOfTheButtonRowIsClippedAtTheSmallestSize) {
    chat->resize(300, 240);
    ASSERT_TRUE(WaitUntil([&] { return chat->size() == QSize(300, 240); }, 5000));
    QApplication::processEvents();
    const QRect row = chat->Panel3->rect();
    EXPECT_GE(chat->CB_Enter->width(), chat->CB_Enter->sizeHint().width())
        << "\"Enterで送信する\" is cut";
    for (QPushButton* b : {chat->btn_send, chat->btn_Can, chat->btn_Font}) {
        SCOPED_TRACE(b->objectName().toStdString());
        EXPECT_GE(b->width(), b->fontMetrics().horizontalAdvance(b->text()) + 12)
            << "its caption is cut";
    }
    for (QWidget* w : std::initializer_list<QWidget*>{chat->btn_send, chat->btn_Can, chat->CB_Enter,
                                                      chat->btn_Font}) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_TRUE(row.contains(w->geometry())) << "it runs off the row";
        EXPECT_TRUE(w->isVisible());
    }
    // And the row stays in the window.
    EXPECT_LE(chat->Panel3->mapTo(chat, QPoint(row.right(), 0)).x(), chat->width() - 1);
    EXPECT_LT(chat->CB_Enter->geometry().right(), chat->btn_Font->geometry().left());
}
