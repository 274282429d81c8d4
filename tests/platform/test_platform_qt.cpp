#include "platform/ErrorHandler.h"
#include "platform/EventSound.h"
#include "platform/Exception.h"
#include "platform/FontAliases.h"
#include "platform/JapaneseDialogs.h"
#include "platform/MessagePump.h"
#include "platform/QtText.h"
#include "platform/Synchronizer.h"
#include "platform/THelpViewer.h"
#include "platform/WinMessage.h"

#include "support/BoxCatcher.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include <QCoreApplication>
#include <QDate>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

using testsupport::WaitUntil;
using namespace platform;

namespace {
class Receiver : public QObject {
  public:
    bool event(QEvent* e) override {
        if (auto* m = AsWinMessage(e)) {
            got.push_back({m->Msg, m->WParam});
            return true;
        }
        return QObject::event(e);
    }
    std::vector<std::pair<unsigned, intptr_t>> got;
};

} // namespace

TEST(PostedMessages, ArriveInOrderAfterTheCurrentHandler) {
    Receiver r;
    PostMessage(&r, WM_CHATWINDOWCOUNT, 0);
    PostMessage(&r, WM_CHATWINDOWCOUNT, 1);
    EXPECT_TRUE(r.got.empty()); // posted, not sent
    PumpUntil([&] { return r.got.size() == 2; }, 5000);
    ASSERT_EQ(r.got.size(), 2u);
    EXPECT_EQ(r.got[0], std::make_pair(WM_CHATWINDOWCOUNT, intptr_t{0}));
    EXPECT_EQ(r.got[1].second, 1);
}

TEST(PostedMessages, AMessageToADestroyedObjectIsDropped) {
    auto* r = new Receiver;
    PostMessage(r, WM_OPENFIRSTCHAT);
    delete r;
    ProcessMessages(); // must not touch the freed object
    SUCCEED();
}

TEST(PumpUntil, ReturnsOnTimeoutWithoutTheCondition) {
    bool flag = false;
    QTimer::singleShot(50, [&] { flag = true; });
    EXPECT_TRUE(PumpUntil([&] { return flag; }, 5000));
    EXPECT_FALSE(PumpUntil([] { return false; }, 30));
}

TEST(PumpUntil, DoesNotSpinWhileWaiting) {
    std::clock_t before = std::clock();
    PumpUntil([] { return false; }, 1000);
    double cpu = double(std::clock() - before) / CLOCKS_PER_SEC;
    EXPECT_LT(cpu, 0.5); // a spinning loop burns the whole second
}

TEST(Synchronize, RunsOnTheGuiThreadAndJoinServesAWaitingWorker) {
    std::atomic<int> ran{0};
    std::atomic<int> nested{0};
    std::atomic<bool> onGui{false};
    std::atomic<bool> entered{false};
    TWorkerThread worker([&] {
        entered = true;
        for (int i = 0; i < 50; ++i)
            Synchronize([&] {
                onGui = IsGuiThread();
                ++ran;
                // Code on the GUI thread that hands over again (a handler
                // calling a helper that synchronizes) runs it in place: a
                // queued request would wait for this very thread forever.
                Synchronize([&] { ++nested; });
            });
    });
    // Join without ever running the event loop: it must serve the hand-overs itself.
    worker.Join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(ran, 50);
    EXPECT_EQ(nested, 50);
    EXPECT_TRUE(onGui);
}

TEST(Synchronize, AnExceptionInTheHandOverGoesToTheErrorBoxAndTheWorkerGoesOn) {
    testsupport::TBoxCatcher capture;
    std::atomic<bool> after{false};
    TWorkerThread worker([&] {
        Synchronize([] { throw Exception("boom"); });
        Synchronize([] { throw EAbort(); });
        after = true;
    });
    worker.Join();
    EXPECT_TRUE(after);
    ASSERT_EQ(capture.Boxes.size(), 1u); // the silent abort shows nothing
    EXPECT_EQ(capture.Boxes[0].Text, "boom");
    EXPECT_EQ(capture.Boxes[0].Caption, "Parlora");
    EXPECT_TRUE(capture.Boxes[0].Flags & MB_ICONERROR);
}

TEST(QtText, ConvertsAtTheEdge) {
    EXPECT_EQ(ToQString(FromQString(QString::fromUtf8("表ソ能①～"))),
              QString::fromUtf8("表ソ能①～"));
    EXPECT_EQ(FromQString(QString::fromUtf8("a😀b")), "a?b");
}

TEST(FontAliases, WindowsFontNamesResolveToInstalledStandIns) {
    auto conf = std::filesystem::path(std::getenv("PARLORA_SOURCE_DIR")) / "data" / "fonts.conf";
    ASSERT_TRUE(ApplyFontAliases(conf));
    EXPECT_EQ(MatchFontFamily("ＭＳ Ｐゴシック"), "IPAPGothic");
    EXPECT_EQ(MatchFontFamily("Century"), "C059");
    EXPECT_EQ(MatchFontFamily("Century Schoolbook"), "C059");
    EXPECT_FALSE(ApplyFontAliases("/nonexistent/fonts.conf"));
}

TEST(Help, ShowsTheDocumentOrSaysWhereItWasLookedFor) {
    testsupport::TBoxCatcher capture;
    // No help file beside the test program: a clear message, no viewer.
    if (HelpFilePath().empty()) {
        ShowHelpContents(nullptr);
        ASSERT_EQ(capture.Boxes.size(), 1u);
        EXPECT_TRUE(capture.Boxes[0].Text.find(".HLP") != std::string::npos);
    }
    auto doc =
        std::filesystem::path(std::getenv("PARLORA_SOURCE_DIR")) / "docs" / "help" / "parlora.html";
    ASSERT_TRUE(THelpViewer::Instance()->ShowContents(doc));
    EXPECT_TRUE(THelpViewer::Instance()->isVisible());
    QString text = THelpViewer::Instance()->Browser->toPlainText();
    for (const char* topic : {"ルームの作成と入室", "会話ＬＯＧの保存", "メッセージテンプレート",
                              "ジャンケン", "ＩＰアドレス通知", "コマンドライン"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(topic))) << topic;
    THelpViewer::Instance()->close();
}

TEST(JapaneseDialogs, StandardDialogsAndBoxButtonsSpeakJapanese) {
    auto* app = QCoreApplication::instance();
    ASSERT_TRUE(UseJapaneseDialogs(*app))
        << "Qt's Japanese translations are missing (qt6-translations-l10n, scripts/setup.sh)";

    // Qt's own dialogs, not a desktop's in the desktop's language.
    EXPECT_TRUE(QCoreApplication::testAttribute(Qt::AA_DontUseNativeDialogs));
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel | QMessageBox::Yes |
                           QMessageBox::No);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QString::fromUtf8("キャンセル"));
    EXPECT_EQ(box.button(QMessageBox::Yes)->text(), QString::fromUtf8("はい(&Y)"));
    EXPECT_EQ(box.button(QMessageBox::No)->text(), QString::fromUtf8("いいえ(&N)"));

    QFileDialog save;
    save.setAcceptMode(QFileDialog::AcceptSave);
    auto* buttons = save.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Save)->text(), QString::fromUtf8("保存(&S)"));
    QFileDialog open;
    auto* openButtons = open.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(openButtons, nullptr);
    EXPECT_EQ(openButtons->button(QDialogButtonBox::Open)->text(), QString::fromUtf8("開く(&O)"));

    // Dates in the file dialog's list as a Japanese desktop writes them.
    EXPECT_EQ(QLocale().toString(QDate(2026, 1, 2), QLocale::ShortFormat),
              QStringLiteral("2026/01/02"));

    QFontDialog font;
    QStringList labels;
    for (const QLabel* label : font.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_TRUE(labels.contains(QString::fromUtf8("フォント(&F)")))
        << labels.join('|').toStdString();

    // The tests after this one see the English of a bare Qt again.
    for (QTranslator* t : app->findChildren<QTranslator*>())
        QCoreApplication::removeTranslator(t);
}

// The arrival sound against a sound server of the test's own: a null sink
// whose recording shows whether anything was played.
TEST(ArrivalSound, IsHeardOnASoundServerAndTheBellStandsInWithoutOne) {
    const QString pulseaudio = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    const QString parec = QStandardPaths::findExecutable(QStringLiteral("parec"));
    if (pulseaudio.isEmpty() || parec.isEmpty())
        GTEST_SKIP() << "pulseaudio or parec is missing (scripts/setup.sh test)";
    testsupport::TempDir dir;
    // The desktop's settings of this test alone (GLib's keyfile backend).
    ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    auto eventSounds = [](const char* onOff) {
        return std::system((std::string("gsettings set org.gnome.desktop.sound event-sounds ") +
                            onOff + " 2>/dev/null")
                               .c_str()) == 0;
    };
    const bool canSwitch = eventSounds("true");
    const QString socket = QString::fromStdString((dir / "pulse.sock").string());

    // No server: the bell.
    ::setenv("PULSE_SERVER", ("unix:" + (dir / "none.sock").string()).c_str(), 1);
    PlayArrivalSound();
    // The sound's own thread, the sound server and the recorder announce
    // nothing to this event loop: the waits below look every 50 ms.
    ASSERT_TRUE(WaitUntil([] { return LastArrivalSound() != TArrivalSound::None; }, 20000, 50));
    EXPECT_EQ(LastArrivalSound(), TArrivalSound::Bell);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(dir.Path().string()));
    env.insert(QStringLiteral("HOME"), QString::fromStdString(dir.Path().string()));
    env.remove(QStringLiteral("PULSE_SERVER"));
    QProcess server;
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(pulseaudio,
                 {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                  QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                  QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=parlora_null"),
                  QStringLiteral("-L"),
                  QStringLiteral("module-native-protocol-unix socket=%1 "
                                 "auth-anonymous=1")
                      .arg(socket)});
    if (!WaitUntil(
            [&] { return QFileInfo::exists(socket) || server.state() == QProcess::NotRunning; },
            20000, 50) ||
        !QFileInfo::exists(socket)) {
        server.kill();
        server.waitForFinished();
        GTEST_SKIP() << "no sound server could start here: " << server.readAll().toStdString();
    }
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket);
    const QString recording = QString::fromStdString((dir / "rec.raw").string());
    QProcess recorder;
    recorder.setProcessEnvironment(env);
    recorder.setStandardOutputFile(recording);
    recorder.start(parec, {QStringLiteral("-d"), QStringLiteral("parlora_null.monitor"),
                           QStringLiteral("--raw"), QStringLiteral("--format=s16le")});
    // The recorder is running once silence comes in.
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(recording).size() > 0; }, 20000, 50));
    auto heard = [&] {
        QFile file(recording);
        if (!file.open(QIODevice::ReadOnly)) return false;
        const QByteArray data = file.readAll();
        return std::any_of(data.begin(), data.end(), [](char c) { return c != 0; });
    };
    EXPECT_FALSE(heard()) << "the sink was not silent to begin with";

    ::setenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit().constData(), 1);
    // Event sounds switched off on the desktop: only the bell.
    if (canSwitch) {
        ASSERT_TRUE(eventSounds("false"));
        PlayArrivalSound();
        ASSERT_TRUE(
            WaitUntil([] { return LastArrivalSound() != TArrivalSound::None; }, 20000, 50));
        EXPECT_EQ(LastArrivalSound(), TArrivalSound::Bell);
        QTest::qWait(1000); // time for a sound that must not come
        EXPECT_FALSE(heard()) << "an event sound the user switched off";
        ASSERT_TRUE(eventSounds("true"));
    } else {
        std::printf("gsettings or GNOME's sound schema is missing: the switch is not tried\n");
    }
    PlayArrivalSound();
    ASSERT_TRUE(WaitUntil([] { return LastArrivalSound() != TArrivalSound::None; }, 20000, 50));
    EXPECT_EQ(LastArrivalSound(), TArrivalSound::EventSound);
    EXPECT_TRUE(WaitUntil(heard, 20000, 50)) << "nothing was played on the sound server";

    recorder.terminate();
    recorder.waitForFinished();
    server.terminate();
    server.waitForFinished();
    ::unsetenv("PULSE_SERVER");
    ::unsetenv("GSETTINGS_BACKEND");
    ::unsetenv("XDG_CONFIG_HOME");
}
