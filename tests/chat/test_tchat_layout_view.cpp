// The chat window's position, size and panel switches kept between runs,
// a window opened from another one, and the end by SIGTERM / SIGINT.
#include "chat/Tchat.h"
#include "chat/TchatQuitSignals.h"
#include "chatlog/TMembers.h"
#include "settings/SettingsKeys.h"

#include "platform/TRegistry.h"
#include "support/Wait.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

using testsupport::WaitUntil;

namespace {

struct TStoredView {
    int32_t Top, Left, Width, Height;
    bool ShowMember, ShowRoomName, MessageTmp;
};

TStoredView ReadStored() {
    platform::TRegistry reg(platform::RegRoot::CurrentUser);
    EXPECT_TRUE(reg.OpenKey(settings::kCustomKey, false));
    return {reg.ReadInteger("Top"),    reg.ReadInteger("left"),    reg.ReadInteger("width"),
            reg.ReadInteger("height"), reg.ReadBool("ShowMember"), reg.ReadBool("ShowRoomName"),
            reg.ReadBool("MessageTmp")};
}

void Store(int32_t top, int32_t left, int32_t width, int32_t height, bool showMember,
           bool showRoomName) {
    platform::TRegistry reg(platform::RegRoot::CurrentUser);
    ASSERT_TRUE(reg.OpenKey(settings::kCustomKey, true));
    reg.WriteInteger("Top", top);
    reg.WriteInteger("left", left);
    reg.WriteInteger("width", width);
    reg.WriteInteger("height", height);
    reg.WriteBool("ShowMember", showMember);
    reg.WriteBool("ShowRoomName", showRoomName);
}

class TchatViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::TRegistry(platform::RegRoot::CurrentUser).DeleteKey(settings::kCustomKey);
        // The start dialog accepted at once, without a room: the view does
        // not depend on the network.
        context.RunStartDialog = [](Tchat&) {
            TchatStartResult result;
            result.ModalResult = 1;
            result.RoomName = "Room";
            result.Handle = "taro";
            return result;
        };
    }
    void TearDown() override {
        for (auto& chat : chats)
            if (chat) delete chat.data();
    }
    Tchat* Open(Tchat* from = nullptr) {
        auto* chat = new Tchat(context, from);
        chats.push_back(chat);
        chat->show();
        EXPECT_TRUE(WaitUntil([&] { return !chat->RoomName.empty(); }, 5000));
        return chat;
    }
    // Closes like the user does; the window deletes itself.
    void Close(Tchat* chat) {
        QPointer<Tchat> gone = chat;
        chat->close();
        EXPECT_TRUE(WaitUntil([&] { return gone.isNull(); }, 5000));
    }
    void Place(Tchat* chat, int left, int top, int width, int height) {
        chat->move(left, top);
        chat->resize(width, height);
        EXPECT_TRUE(WaitUntil(
            [&] {
                return chat->pos() == QPoint(left, top) && chat->size() == QSize(width, height);
            },
            5000));
    }

    TchatContext context;
    std::vector<QPointer<Tchat>> chats;
};

} // namespace

TEST_F(TchatViewTest, WrittenOnCloseAndReadOnTheNextShow) {
    Tchat* a = Open();
    EXPECT_EQ(a->windowTitle(), QStringLiteral("Parlora:Room"));
    EXPECT_EQ(a->centralWidget()->size(), QSize(487, 468 - a->StBar->height()))
        << "design size without stored settings";
    EXPECT_TRUE(a->ShowMember->isChecked());
    EXPECT_TRUE(a->ShowRoomName->isChecked());

    Place(a, 40, 30, 620, 510);
    a->ShowRoomName->trigger();
    EXPECT_FALSE(a->Pnl_curretroom->isVisible());
    Close(a);
    TStoredView stored = ReadStored();
    EXPECT_EQ(stored.Left, 40);
    EXPECT_EQ(stored.Top, 30);
    EXPECT_EQ(stored.Width, 620);
    EXPECT_EQ(stored.Height, 510);
    EXPECT_TRUE(stored.ShowMember);
    EXPECT_FALSE(stored.ShowRoomName);
    EXPECT_FALSE(stored.MessageTmp);

    Tchat* b = Open();
    EXPECT_EQ(b->pos(), QPoint(40, 30));
    EXPECT_EQ(b->size(), QSize(620, 510));
    EXPECT_FALSE(b->ShowRoomName->isChecked());
    EXPECT_FALSE(b->Pnl_curretroom->isVisible());

    // Two windows: each writes when it closes; the last one closed stays.
    Tchat* c = Open();
    Place(b, 10, 20, 500, 400);
    Place(c, 70, 80, 640, 480);
    c->ShowMember->trigger();
    Close(c);
    EXPECT_EQ(ReadStored().Width, 640);
    Close(b);
    stored = ReadStored();
    EXPECT_EQ(stored.Left, 10);
    EXPECT_EQ(stored.Width, 500);
    EXPECT_TRUE(stored.ShowMember);
}

TEST_F(TchatViewTest, OpenedFromAnotherTakesItsSizeAndSwitchesButNotItsPosition) {
    Store(50, 60, 700, 560, true, true);
    Tchat* a = Open();
    ASSERT_EQ(a->size(), QSize(700, 560));
    Place(a, 300, 200, 650, 450);
    a->ShowMember->trigger();
    a->ShowRoomName->trigger();

    // The stored values differ from the opener's, so reading them would show.
    Store(5, 6, 710, 570, true, true);
    Tchat* b = Open(a);
    EXPECT_EQ(b->size(), QSize(650, 450));
    EXPECT_FALSE(b->ShowMember->isChecked());
    EXPECT_FALSE(b->ShowRoomName->isChecked());
    EXPECT_FALSE(b->Pnl_curretroom->isVisible());
    EXPECT_NE(b->pos(), QPoint(300, 200));
    EXPECT_NE(b->pos(), QPoint(6, 5));
}

TEST_F(TchatViewTest, TerminationSignalClosesEveryWindowLikeTheUserWould) {
    QWidget mainForm;
    mainForm.setAttribute(Qt::WA_DontShowOnScreen);
    mainForm.show();
    TchatQuitSignals quit(&mainForm);
    QPointer<Tchat> a = Open();
    Place(a, 90, 80, 560, 430);
    QPointer<Tchat> b = Open(a);

    // A modal dialog of a window (a child of it, on its handler's stack) is
    // waiting for the user when the signal comes; it is dismissed and its
    // handler finishes before the window goes. All of it inside a running
    // event loop, as under the program's own: a window deleted from the
    // dialog's loop would free the dialog under its handler.
    // Like the start dialog, it ignores Escape and ends only by its own
    // buttons.
    struct TStubbornDialog : QDialog {
        using QDialog::QDialog;
        void reject() override {}
    };
    bool dialogReturned = false;
    bool dialogAliveAtReturn = false;
    QTimer::singleShot(0, a, [&] {
        TStubbornDialog dialog(a);
        QTimer::singleShot(0, &dialog, [] { std::raise(SIGTERM); });
        dialog.exec();
        dialogReturned = true;
        dialogAliveAtReturn = !a.isNull();
    });
    ASSERT_TRUE(WaitUntil([&] { return a.isNull() && b.isNull(); }, 5000));
    EXPECT_TRUE(dialogReturned);
    EXPECT_TRUE(dialogAliveAtReturn) << "the window went while its dialog was still running";
    EXPECT_EQ(quit.Received(), 1);
    EXPECT_TRUE(mainForm.isVisible()) << "the main form goes when it counts its windows out";
    // The windows saved their view on the way out.
    EXPECT_EQ(ReadStored().Width, 560);
}

TEST_F(TchatViewTest, InterruptWithoutAChatWindowClosesTheMainForm) {
    QWidget mainForm;
    mainForm.setAttribute(Qt::WA_DontShowOnScreen);
    mainForm.show();
    TchatQuitSignals quit(&mainForm);
    std::raise(SIGINT);
    EXPECT_TRUE(WaitUntil([&] { return !mainForm.isVisible(); }, 5000));
}
