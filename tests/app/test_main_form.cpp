// The main form: the command line, the first chat window and its start
// options, the window count and the end of the program with the settings
// saved. Real windows (offscreen) and real sessions on loopback.
#include "AppTestSupport.h"

#include "app/TDchat.h"
#include "app/TDchatstart.h"
#include "app/TSessionSelect.h"
#include "chat/Tchat.h"
#include "chatlog/TChatLog.h"
#include "entry/RoomEntry.h"
#include "game/Tjyankenfm.h"
#include "platform/ErrorHandler.h"
#include "platform/TRegistry.h"
#include "session/DPSession.h"
#include "settings/TOptfm.h"
#include "support/TempDir.h"
#include "templates/TTempfm.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace apptest;

namespace {

TEST(CommandLine, SwitchesAndValues) {
    auto parse = [](QStringList args) {
        args.prepend("/usr/bin/parlora");
        return TDchat::ParseCommandLine(args);
    };
    auto none = parse({});
    EXPECT_FALSE(none.AutoCreate);
    EXPECT_FALSE(none.AutoConnect);
    EXPECT_EQ(none.PresetHandle, "");

    auto sv = parse({"sv", "HD=Taro"});
    EXPECT_TRUE(sv.AutoCreate);
    EXPECT_FALSE(sv.AutoConnect);
    EXPECT_EQ(sv.PresetHandle, "Taro");

    auto cl = parse({"ip=192.168.0.5", "cl", "hd=Hanako"});
    EXPECT_TRUE(cl.AutoConnect);
    EXPECT_EQ(cl.PresetHostAddress, "192.168.0.5");
    EXPECT_EQ(cl.PresetHandle, "Hanako");

    // Whole-argument switches only; Sv counts, SVX and XSV do not.
    EXPECT_FALSE(parse({"SVX", "XSV", "CLX"}).AutoCreate);
    EXPECT_FALSE(parse({"SVX", "XSV", "CLX"}).AutoConnect);
    EXPECT_TRUE(parse({"Sv"}).AutoCreate);
    // Only ASCII letters differ in case: a long s is no S.
    EXPECT_FALSE(parse({QString::fromUtf8("ſv")}).AutoCreate);

    // HD= alone is an empty handle; a later argument wins.
    EXPECT_EQ(parse({"HD=Taro", "HD="}).PresetHandle, "");
    EXPECT_EQ(parse({"HD=a", "hD=b"}).PresetHandle, "b");

    // Values are cut at 999 characters, Japanese ones by character.
    EXPECT_EQ(parse({"HD=" + QString(1200, 'x')}).PresetHandle.size(), 999u);
    const auto japanese = parse({"IP=" + QString(1000, QChar(0x8868))}); // 表
    EXPECT_EQ(Utf8(japanese.PresetHostAddress), QString(999, QChar(0x8868)).toStdString());
}

class MainFormTest : public ::testing::Test {
  protected:
    void Start(QStringList args) {
        UseLoopback();
        args.prepend("/usr/bin/parlora");
        form = std::make_unique<TDchat>(args);
        form->CreateForms(
            std::make_unique<TOptfm>(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; }));
        form->Context().Port = port;
        form->OnTerminate = [this] { ++terminations; };
        form->show();
    }
    void TearDown() override {
        std::vector<QPointer<Tchat>> chats;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* chat = dynamic_cast<Tchat*>(w)) chats.emplace_back(chat);
        for (auto& chat : chats)
            delete chat.data();
    }
    bool RoomOpen(const char* room) {
        Tchat* chat = form->FirstChat();
        return chat && chat->RoomName == Sjis(room);
    }

    uint16_t port = FreshPort();
    std::unique_ptr<TDchat> form;
    int terminations = 0;
    TBoxCatcher boxes;
};

TEST_F(MainFormTest, SvHdOpensTheRoomAndTheLastWindowEndsTheProgramSavingSettings) {
    Start({"SV", "HD=Taro"});
    EXPECT_EQ(form->size(), QSize(306, 136));
    EXPECT_EQ(form->Version->text(), "Version 3.2b   ");
    ASSERT_TRUE(WaitUntil([&] { return RoomOpen("Taro'ROOM"); }));
    Tchat* first = form->FirstChat();
    EXPECT_EQ(first->windowTitle(), "Parlora:Taro'ROOM");
    EXPECT_EQ(Utf8(first->Log->LineAt(0)), "127.0.0.1:Taro さんが入室しました。");
    EXPECT_EQ(form->OpenChatCount, 1);
    EXPECT_TRUE(first->isWindow());
    EXPECT_EQ(first->parentWidget(), nullptr); // a taskbar entry of its own

    // The splash goes after its two seconds; the program runs on.
    ASSERT_TRUE(WaitUntil([&] { return !form->isVisible(); }));
    EXPECT_EQ(terminations, 0);

    // A second window starts with empty options; cancelling it closes only it.
    bool secondEmpty = false;
    TOnShow cancel([&](QWidget* w) {
        auto* dialog = dynamic_cast<TDchatstart*>(w);
        if (!dialog) return false;
        secondEmpty = dialog->Ed_handle->currentText().isEmpty() && !dialog->AutoCreate;
        dialog->Button1->click();
        return true;
    });
    first->NewRoomClick();
    ASSERT_TRUE(WaitUntil([&] { return form->OpenChatCount == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return form->OpenChatCount == 1; }));
    EXPECT_TRUE(secondEmpty);
    EXPECT_EQ(terminations, 0);

    form->Optfm()->K3->setChecked(true);
    first->ExitRoomClick();
    ASSERT_TRUE(WaitUntil([&] { return terminations == 1; }));
    EXPECT_EQ(form->OpenChatCount, 0);
    platform::TRegistry reg(platform::RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3", false));
    EXPECT_TRUE(reg.ReadBool("main_K3"));
    EXPECT_FALSE(reg.ReadBool("main_K5"));
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST_F(MainFormTest, IpClHdJoinsTheRoomAtTheAddress) {
    TDPSession host;
    entry::Prepare(host);
    host.TCPIPSetting().Port = port;
    entry::UseTcpIp(host, "");
    entry::OpenRoom(host, true, "Lobby", "127.0.0.1:Host");

    Start({"ip=127.0.0.1", "cl", "hd=Hanako"});
    ASSERT_TRUE(WaitUntil([&] { return RoomOpen("Lobby"); }));
    EXPECT_EQ(form->FirstChat()->SelfName, "127.0.0.1:Hanako");
    ASSERT_TRUE(WaitUntil([&] { return host.PlayerList().Count() == 2; }));
}

TEST_F(MainFormTest, AFailedSaveIsShownAndTheProgramStillEnds) {
    Start({"SV", "HD=Taro"});
    ASSERT_TRUE(WaitUntil([&] { return RoomOpen("Taro'ROOM"); }));
    // A folder where the settings file should be: no write can replace it.
    const std::filesystem::path file =
        std::filesystem::path(std::getenv("PARLORA_REGISTRY_DIR")) / "HKEY_LOCAL_MACHINE.reg";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    form->FirstChat()->close();
    const bool ended = WaitUntil([&] { return terminations == 1; });
    std::filesystem::remove(file);
    ASSERT_TRUE(ended);
    ASSERT_FALSE(boxes.Boxes.empty());
    EXPECT_EQ(boxes.Boxes.back().Text, "'main_K2' の設定に失敗しました");
    EXPECT_EQ(boxes.Boxes.back().Caption, "Parlora");
    EXPECT_TRUE(boxes.Boxes.back().Flags & platform::MB_ICONERROR);
}

TEST_F(MainFormTest, CancelledFirstStartDialogEndsTheProgram) {
    TOnShow cancel([&](QWidget* w) {
        auto* dialog = dynamic_cast<TDchatstart*>(w);
        if (!dialog) return false;
        dialog->Button1->click();
        return true;
    });
    Start({});
    ASSERT_TRUE(WaitUntil([&] { return terminations == 1; }));
    EXPECT_EQ(form->OpenChatCount, 0);
}

} // namespace

// The buttons each window asks the window manager for: none on the modal
// dialogs and the game window, only a close box on the template window,
// close and help on the options dialog; the splash is a splash screen,
// which desktops keep out of the taskbar.
TEST(TitleBar, EachWindowAsksForItsOwnButtons) {
    const Qt::WindowFlags buttons = Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                    Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint;
    auto buttonsOf = [&](const QWidget& w) { return w.windowFlags() & buttons; };
    auto customised = [](const QWidget& w) {
        return w.windowFlags().testFlag(Qt::CustomizeWindowHint);
    };

    TOptfm optfm(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; });
    EXPECT_EQ(buttonsOf(optfm), Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint);

    TDchatstart start(nullptr, &optfm);
    EXPECT_TRUE(customised(start));
    EXPECT_EQ(buttonsOf(start), Qt::WindowFlags());
    TSessionSelect select(nullptr);
    EXPECT_TRUE(customised(select));
    EXPECT_EQ(buttonsOf(select), Qt::WindowFlags());

    QWidget chat;
    Tjyankenfm game(&chat, nullptr);
    EXPECT_TRUE(customised(game));
    EXPECT_EQ(buttonsOf(game), Qt::WindowFlags());
    EXPECT_TRUE(game.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    testsupport::TempDir dir;
    TTempfm templates(dir / "parlora.ini");
    EXPECT_TRUE(customised(templates));
    EXPECT_EQ(buttonsOf(templates), Qt::WindowCloseButtonHint);
    EXPECT_TRUE(templates.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    TDchat splash(QStringList{QStringLiteral("parlora")});
    EXPECT_EQ(splash.windowType(), Qt::SplashScreen);
    EXPECT_TRUE(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

// A window manager that draws a minimise button on the modal start dialog
// all the same (openbox does) cannot take it out of sight.
TEST(TitleBar, TheModalStartDialogComesBackWhenMinimised) {
    if (!std::getenv("PARLORA_TEST_WINDOW_MANAGER"))
        GTEST_SKIP() << "needs a window manager (test_app_window_manager)";
    TOptfm optfm(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; });
    QWidget chat;
    chat.show();
    TDchatstart start(&chat, &optfm);
    start.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&start));
    start.showMinimized();
    // The window manager's minimising comes and goes.
    QTest::qWait(500);
    EXPECT_TRUE(WaitUntil([&] { return !start.isMinimized() && start.isVisible(); }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return start.windowHandle()->isExposed(); }, 5000));
}
