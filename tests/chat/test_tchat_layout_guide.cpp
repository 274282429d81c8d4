// The chat window itself: its keys, name guide and resizing as the user
// meets them.
#include "chat/TChatLog.h"
#include "chat/TMembers.h"
#include "chat/Tchat.h"
#include "chat/TchatKeys.h"
#include "chat/TchatNameGuide.h"

#include "platform/ErrorHandler.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class TchatGuideTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMessageBoxHook([this](const QString& text, const QString&, unsigned) {
            Boxes.push_back(text);
            return 1;
        });
        context.RunStartDialog = [](Tchat&) {
            TchatStartResult result;
            result.ModalResult = 1;
            result.RoomName = "Room";
            result.Handle = "taro";
            return result;
        };
        chat = new Tchat(context);
        chat->show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !chat->RoomName.empty(); }, 5000));
    }
    void TearDown() override {
        delete chat.data();
        platform::SetMessageBoxHook(nullptr);
    }

    TchatContext context;
    QPointer<Tchat> chat;
    std::vector<QString> Boxes;
};

} // namespace

TEST_F(TchatGuideTest, GuideOffersTheMembersHandlesAndEnterPutsOneIn) {
    chat->Members->Add("127.0.0.1:taro");
    chat->Members->Add("127.0.0.2:hanako");
    chat->CB_Enter->setChecked(true);
    QTest::keyClicks(chat->Memo, "hi >");
    ASSERT_TRUE(QTest::qWaitFor([&] { return chat->NameGuide->Visible(); }, 5000));
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return chat->height() == 900; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return chat->Memo->height() == 88; }, 5000));

    chat->resize(300, 240);
    ASSERT_TRUE(QTest::qWaitFor([&] { return chat->size() == QSize(300, 240); }, 5000))
        << "the smallest window is 300 x 240";
    const int shared = chat->Log->height() + chat->Memo->height();
    EXPECT_EQ(chat->Memo->height(), shared / 2);
    EXPECT_LT(chat->Log->geometry().bottom(), chat->Memo->geometry().top());
}
