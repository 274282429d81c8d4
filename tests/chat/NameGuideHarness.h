#pragma once
// A stand-in chat window built from plain widgets in the chat window's
// order (room name, members, log / splitter / message box, button row,
// status bar), with the key routing, name guide and resizing attached the
// way the chat window attaches them.
#include "chat/TchatKeys.h"
#include "chat/TchatLayout.h"
#include "chat/TchatNameGuide.h"

#include "platform/Cp932.h"
#include "platform/QtText.h"
#include "support/Wait.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>

struct GuideWindow {
    QWidget Window;
    QLabel* RoomName = new QLabel(&Window);
    QWidget* MembersPanel = new QWidget(&Window);
    QSplitter* Splitter = new QSplitter(Qt::Vertical, &Window);
    QPlainTextEdit* Log = new QPlainTextEdit(Splitter);
    QPlainTextEdit* Memo = new QPlainTextEdit(Splitter);
    QWidget* Buttons = new QWidget(&Window);
    QPushButton* Send = new QPushButton(QStringLiteral("送信"), Buttons);
    QCheckBox* CB_Enter = new QCheckBox(QStringLiteral("Enterで送信する"), Buttons);
    QStatusBar* StBar = new QStatusBar(&Window);

    std::vector<AnsiString> Handles{"taro", "hanako", "jiro"};
    std::vector<QString> Sent; // what each send found in the message box
    int Arranged = 0;

    TchatNameGuide* Guide = nullptr;
    TchatKeys* Keys = nullptr;
    TchatLayout* Layout = nullptr;

    GuideWindow() {
        QFont font;
        font.setPixelSize(12);
        Window.setFont(font);
        Window.setMinimumSize(300, 240);
        auto* column = new QVBoxLayout(&Window);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        RoomName->setFixedHeight(25);
        MembersPanel->setFixedHeight(49);
        Splitter->setHandleWidth(4);
        Splitter->setChildrenCollapsible(false);
        Buttons->setFixedHeight(25);
        StBar->setFixedHeight(19);
        auto* row = new QHBoxLayout(Buttons);
        row->setContentsMargins(0, 0, 0, 0);
        row->addWidget(Send);
        row->addWidget(CB_Enter);
        CB_Enter->setFocusPolicy(Qt::ClickFocus);
        column->addWidget(RoomName);
        column->addWidget(MembersPanel);
        column->addWidget(Splitter, 1);
        column->addWidget(Buttons);
        column->addWidget(StBar);
        Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QFont memoFont;
        memoFont.setPixelSize(13);
        Memo->setFont(memoFont);

        Layout = new TchatLayout(&Window, Splitter, [this] { ++Arranged; });
        Guide = new TchatNameGuide(&Window, Memo, [this] { return Handles; });
        Keys = new TchatKeys(&Window, CB_Enter, Guide);
        Keys->OnSend = [this] {
            Sent.push_back(Memo->toPlainText());
            Memo->clear();
        };
        // Pressing the button sends as well; the keys must never send twice.
        QObject::connect(Send, &QPushButton::clicked, &Window, [this] { Keys->OnSend(); });

        Window.resize(487, 468);
        Window.show();
        Window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
        Memo->setFocus();
        EXPECT_TRUE(testsupport::WaitUntil([&] { return Memo->hasFocus(); }, 5000));
    }

    // Types `text` key by key into whatever has the focus.
    void Type(const QString& text) {
        QTest::keyClicks(QApplication::focusWidget(), text);
        QApplication::processEvents();
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, mods);
        QApplication::processEvents();
    }
    // Text arriving from an input method, the way Japanese is typed.
    void Commit(const QString& text) {
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(Memo, &event);
        QApplication::processEvents();
    }
    void SetMemo(const QString& text, int caret) {
        Memo->setPlainText(text);
        QTextCursor cursor = Memo->textCursor();
        cursor.setPosition(caret);
        Memo->setTextCursor(cursor);
        QApplication::processEvents();
    }
    int Caret() const { return Memo->textCursor().position(); }
    bool WaitForGuide() {
        return testsupport::WaitUntil([&] { return Guide->Visible(); }, 5000);
    }
};
