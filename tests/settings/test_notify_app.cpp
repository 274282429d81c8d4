// The address notification through the program's own forms: with the
// settings in the registry, "SV HD=Taro" creates the room and the start page
// arrives at a real FTP server; closing the chat window ends the program and
// uploads the exit page.
#include "app/AppTestSupport.h"
#include "test_lowftp_servers.h"

#include "app/TDchat.h"
#include "chat/Tchat.h"
#include "settings/AddressNotifier.h"
#include "settings/TOptfm.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace fs = std::filesystem;
using namespace apptest;
using nettest::TRealFtpServer;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<AnsiString> Loopback() {
    return {"127.0.0.1"};
}

class NotifyThroughTheProgram : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { TSuiteFtpServer::Start(); }
    static void TearDownTestSuite() { TSuiteFtpServer::Stop(); }
    void SetUp() override {
        server_ = TSuiteFtpServer::Server();
        if (!server_) GTEST_SKIP() << "pyftpdlib is not installed";
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        UseLoopback();
        fs::create_directories(TSuiteFtpServer::Root() / "public_html" / "ip");
        ::setenv("PARLORA_FTP_PORT", std::to_string(server_->Port()).c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PARLORA_FTP_PORT");
        std::vector<QPointer<Tchat>> chats;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* chat = dynamic_cast<Tchat*>(w)) chats.emplace_back(chat);
        for (auto& chat : chats)
            delete chat.data();
    }
    // The settings as the user left them in the options dialog.
    void SaveNotifySettings() {
        std::ofstream(local_ / "start.html", std::ios::binary)
            << "<p>##IPADDRESS##</p>\r\n<p>since ##DATETIME##</p>\r\n";
        std::ofstream(local_ / "exit.html", std::ios::binary) << "<p>gone</p>\r\n";
        TOptfm editor(nullptr, Loopback);
        editor.cbNotify->setChecked(true);
        editor.Edftpaddress->setText("127.0.0.1");
        editor.EdLogin->setText(TRealFtpServer::User);
        editor.Edpwd->setText(TRealFtpServer::Password);
        editor.Edconnecting->setText(QString::fromStdString((local_ / "start.html").string()));
        editor.Eddisconnect->setText(QString::fromStdString((local_ / "exit.html").string()));
        editor.Edftpdir->setText("public_html\\ip\\index.html");
        editor.SaveSettings();
    }
    fs::path Page() const { return TSuiteFtpServer::Root() / "public_html" / "ip" / "index.html"; }

    TRealFtpServer* server_ = nullptr;
    testsupport::TempDir local_;
};

TEST_F(NotifyThroughTheProgram, StartPageWhenTheRoomIsCreatedExitPageAtTheEnd) {
    SaveNotifySettings();
    TBoxCatcher boxes;
    auto optfm = std::make_unique<TOptfm>(nullptr, Loopback);
    optfm->Notifier().PageFile = local_ / "Tmp.txt";
    TOptfm* options = optfm.get();
    TDchat form({"/usr/bin/parlora", "SV", "HD=Taro"});
    form.CreateForms(std::move(optfm));
    form.Context().Port = FreshPort();
    int terminations = 0;
    form.OnTerminate = [&] { ++terminations; };
    form.show();

    ASSERT_TRUE(WaitUntil([&] { return options->StartPageSent(); }, 30000)) << [&] {
        std::string texts;
        for (const std::string& t : boxes.Texts())
            texts += t + "\n";
        return texts;
    }();
    Tchat* chat = form.FirstChat();
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(chat->RoomName, Sjis("Taro'ROOM"));
    const std::string start = Read(Page());
    EXPECT_EQ(start.rfind("<p>127.0.0.1</p>\n<p>since ", 0), 0u) << start;
    EXPECT_EQ(start.find("##"), std::string::npos);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"ホームページの更新が完了しました"});

    chat->ExitRoomClick();
    ASSERT_TRUE(WaitUntil([&] { return terminations == 1; }, 30000));
    EXPECT_EQ(Read(Page()), "<p>gone</p>\n");
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"ホームページの更新が完了しました",
                                                       "ホームページの更新が完了しました"}));
}

} // namespace
