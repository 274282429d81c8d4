// The program's chat window and a member in another process on another
// loopback address: a headless member (arrival, texts both ways, departure),
// and a second copy of this test program running a chat window of its own
// (texts, member colours, a round of rock-paper-scissors).
#include "AppTestSupport.h"

#include "app/TDchat.h"
#include "chat/Tchat.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"
#include "game/Tjyankenfm.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QToolButton>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace apptest;

namespace {

bool LogHas(const Tchat* chat, const char* utf8) {
    for (int i = 0; i < chat->Log->LineCount(); ++i)
        if (Utf8(chat->Log->LineAt(i)) == utf8) return true;
    return false;
}

// The main form with its own address `own`, started with `arguments`, and
// its first chat window once that is in a room (null if it never gets there).
QPointer<Tchat> OpenFirstChat(TDchat& form, const char* own, uint16_t port) {
    form.CreateForms(
        std::make_unique<TOptfm>(nullptr, [own] { return std::vector<AnsiString>{own}; }));
    form.Context().Port = port;
    form.show();
    if (!WaitUntil([&] { return form.FirstChat() && !form.FirstChat()->RoomName.empty(); }))
        return nullptr;
    return form.FirstChat();
}

// Starts `program` listening on 127.0.0.2 with `env` added, collecting its
// output in `printed`.
bool StartMember(QProcess& member, QByteArray& printed, const QString& program,
                 const QStringList& arguments, const QProcessEnvironment& added) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PARLORA_LISTEN_ADDR", "127.0.0.2");
    env.insert(added);
    member.setProcessEnvironment(env);
    QObject::connect(&member, &QProcess::readyReadStandardOutput,
                     [&] { printed += member.readAllStandardOutput(); });
    member.start(program, arguments);
    return member.waitForStarted();
}

// Taro's room, opened by the main form on 127.0.0.1.
class TwoProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        UseLoopback();
        port = FreshPort();
        form = std::make_unique<TDchat>(QStringList{"/usr/bin/parlora", "SV", "HD=Taro"});
        taro = OpenFirstChat(*form, "127.0.0.1", port);
        ASSERT_TRUE(taro);
    }
    void TearDown() override { delete taro.data(); }

    TBoxCatcher boxes;
    uint16_t port = 0;
    std::unique_ptr<TDchat> form;
    QPointer<Tchat> taro;
};

TEST_F(TwoProcesses, ChatWindowAndHeadlessMemberTalk) {

    QProcess member;
    QByteArray printed;
    ASSERT_TRUE(StartMember(member, printed, PARLORA_CLI_PATH,
                            {"--join", "127.0.0.1", "--handle", QString::fromUtf8("花子"),
                             "--own-ip", "127.0.0.2", "--port", QString::number(port)},
                            {}));

    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "127.0.0.2:花子 さんが入室しました。"); }));

    taro->Memo->setPlainText(QString::fromUtf8("表示ソ能\nもう一行"));
    taro->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return printed.contains("もう一行"); })) << printed.toStdString();
    EXPECT_TRUE(printed.contains("<Taro>\n表示ソ能\nもう一行\n")) << printed.toStdString();

    member.write("こんにちは\n");
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "<花子>こんにちは"); }));

    member.closeWriteChannel(); // the member leaves
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "花子 さんが退室しました。"); }));
    // It may already have ended while the log was being watched.
    EXPECT_TRUE(member.state() == QProcess::NotRunning || member.waitForFinished(10000));
    EXPECT_EQ(member.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(member.exitCode(), 0);
    EXPECT_TRUE(boxes.Boxes.empty());
}

// The other member of TwoChatWindowsTalkAndPlayARound: this test program
// started again with only this test, in a process of its own. Skipped when
// run on its own.
TEST(TwoProcessesMember, HanakoAnswersAndPlaysScissors) {
    const char* port = std::getenv("PARLORA_TEST_HOST_PORT");
    if (!port) GTEST_SKIP() << "started by TwoProcesses.TwoChatWindowsTalkAndPlayARound";
    TBoxCatcher boxes;
    TDchat form({"/usr/bin/parlora", "CL", "HD=Hanako", "IP=127.0.0.1"});
    QPointer<Tchat> hanako =
        OpenFirstChat(form, "127.0.0.2", static_cast<uint16_t>(std::atoi(port)));
    ASSERT_TRUE(hanako);

    ASSERT_TRUE(WaitUntil([&] { return LogHas(hanako, "<Taro>こんにちは表ソ能"); }));
    hanako->Memo->setPlainText(QString::fromUtf8("はじめまして①～"));
    hanako->btn_send->click();
    // Taro's decision opens the game window here.
    ASSERT_TRUE(WaitUntil([&] { return !hanako->JyankenForm.isNull(); }));
    hanako->JyankenForm->btn_tyoki->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(hanako, "Taroはぐぅを出しました"); }));
    EXPECT_TRUE(WaitUntil([&] { return hanako->JyankenForm.isNull(); }));
    for (int i = 0; i < hanako->Log->LineCount(); ++i)
        std::printf("LOG:%s\n", Utf8(hanako->Log->LineAt(i)).c_str());
    std::fflush(stdout);
    EXPECT_TRUE(boxes.Boxes.empty());
    hanako->close(); // leaves the room; the last window ends the form
    EXPECT_TRUE(WaitUntil([&] { return !form.isVisible(); }));
}

TEST_F(TwoProcesses, TwoChatWindowsTalkAndPlayARound) {

    QProcess member;
    member.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment added;
    added.insert("PARLORA_OWN_IP", "127.0.0.2");
    added.insert("PARLORA_TEST_HOST_PORT", QString::number(port));
    QByteArray printed;
    ASSERT_TRUE(StartMember(member, printed, QCoreApplication::applicationFilePath(),
                            {"--gtest_filter=TwoProcessesMember.HanakoAnswersAndPlaysScissors"},
                            added));

    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "127.0.0.2:Hanako さんが入室しました。"); }))
        << printed.toStdString();
    // The first member's colour is black, the next one's blue.
    EXPECT_EQ(taro->Members->ColorOf(Sjis("127.0.0.1:Taro")), QColor(0, 0, 0));
    EXPECT_EQ(taro->Members->ColorOf(Sjis("127.0.0.2:Hanako")), QColor(0, 0, 0xFF));

    taro->Memo->setPlainText(QString::fromUtf8("こんにちは表ソ能"));
    taro->btn_send->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "<Hanako>はじめまして①～"); }))
        << printed.toStdString();

    taro->JyankenClick();
    ASSERT_FALSE(taro->JyankenForm.isNull());
    taro->JyankenForm->btn_guu->click();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "Hanakoはちょきを出しました"); }))
        << printed.toStdString();
    EXPECT_TRUE(LogHas(taro, "Taroはぐぅを出しました"));
    EXPECT_TRUE(WaitUntil([&] { return taro->JyankenForm.isNull(); }));

    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro, "Hanako さんが退室しました。"); }))
        << printed.toStdString();
    EXPECT_TRUE(member.state() == QProcess::NotRunning || member.waitForFinished(10000));
    printed += member.readAllStandardOutput();
    EXPECT_EQ(member.exitCode(), 0) << printed.toStdString();
    // Both logs hold both decisions and both reveals.
    for (const char* line :
         {"LOG:<Taro>こんにちは表ソ能", "LOG:<Hanako>はじめまして①～",
          "LOG:TaroがJyankenの手を決めました", "LOG:HanakoがJyankenの手を決めました",
          "LOG:Taroはぐぅを出しました", "LOG:Hanakoはちょきを出しました"})
        EXPECT_TRUE(printed.contains(line)) << line << "\n" << printed.toStdString();
    EXPECT_TRUE(LogHas(taro, "TaroがJyankenの手を決めました"));
    EXPECT_TRUE(LogHas(taro, "HanakoがJyankenの手を決めました"));
    EXPECT_TRUE(boxes.Boxes.empty());
}

} // namespace
