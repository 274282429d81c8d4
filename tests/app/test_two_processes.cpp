// The program's chat window and a headless member in another process on
// another loopback address: arrival, texts both ways, departure.
#include "AppTestSupport.h"

#include "app/TDchat.h"
#include "chat/TChatLog.h"
#include "chat/Tchat.h"

#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace apptest;

namespace {

bool LogHas(const Tchat* chat, const char* utf8) {
    for (int i = 0; i < chat->Log->LineCount(); ++i)
        if (Utf8(chat->Log->LineAt(i)) == utf8) return true;
    return false;
}

TEST(TwoProcesses, ChatWindowAndHeadlessMemberTalk) {
    UseLoopback();
    const uint16_t port = FreshPort();
    TBoxCatcher boxes;
    TDchat form({"/usr/bin/parlora", "SV", "HD=Taro"});
    form.CreateForms(
        std::make_unique<TOptfm>(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; }));
    form.Context().Port = port;
    form.show();
    ASSERT_TRUE(WaitUntil([&] { return form.FirstChat() && !form.FirstChat()->RoomName.empty(); }));
    QPointer<Tchat> taro = form.FirstChat();

    QProcess member;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PARLORA_LISTEN_ADDR", "127.0.0.2");
    member.setProcessEnvironment(env);
    member.start(PARLORA_CLI_PATH, {"--join", "127.0.0.1", "--handle", QString::fromUtf8("花子"),
                                    "--own-ip", "127.0.0.2", "--port", QString::number(port)});
    ASSERT_TRUE(member.waitForStarted());
    QByteArray printed;
    QObject::connect(&member, &QProcess::readyReadStandardOutput,
                     [&] { printed += member.readAllStandardOutput(); });

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
    delete taro.data();
}

} // namespace
