// The address notification: page building from templates, the remote place,
// and the start and exit pages uploaded by the options dialog to a real FTP
// server on 127.0.0.1, with their message boxes and the FTP log window.
#include "SettingsTestBase.h"
#include "TRealFtpServer.h"
#include "TTlsLab.h"
#include "TTmpfsMount.h"
#include "settings/AddressNotifier.h"
#include "settings/AddressNotifyPage.h"
#include "settings/TOptfm.h"
#include "settings/Tftpdebugfm.h"
#include "test_lowftp_servers.h"

#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "support/Sjis.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using nettest::TRealFtpServer;

using testsupport::Sjis;

namespace {

const AnsiString Hyo = "\x95\x5c"; // 表: its second byte is the backslash's code

std::string Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// A fixed clock that moves on by one minute at every reading.
struct TTickingClock {
    QDateTime at{QDate(2026, 12, 7), QTime(6, 29)};
    QDateTime operator()() {
        QDateTime now = at;
        at = at.addSecs(60);
        return now;
    }
};

} // namespace

TEST(PageText, LinesEndAtAnyLineEndAndAtAZeroByte) {
    using settings::SplitPageLines;
    using V = std::vector<AnsiString>;
    EXPECT_EQ(SplitPageLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitPageLines("a\r\n"), (V{"a"}));
    EXPECT_EQ(SplitPageLines("\n\r\n\r"), (V{"", "", ""}));
    EXPECT_EQ(SplitPageLines(std::string("ab\0cd\n", 6)), (V{"ab"}));
    EXPECT_EQ(SplitPageLines(std::string("\0x", 2)), V{});
    EXPECT_EQ(SplitPageLines(""), V{});
    EXPECT_EQ(SplitPageLines("\r\r\n"), (V{"", ""}));
}

TEST(PageText, TagsAreReplacedWhereverTheyStandAsCharacters) {
    TTickingClock clock;
    auto make = [&](const AnsiString& text) {
        return settings::MakePageText(text, "192.168.0.5", std::ref(clock));
    };
    EXPECT_EQ(make("<a>##IPADDRESS##</a><b>##IPADDRESS##</b>\n"),
              "<a>192.168.0.5</a><b>192.168.0.5</b>\r\n");
    // Each time tag reads the clock anew.
    EXPECT_EQ(make("##DATETIME## - ##DATETIME##"), "26/12/07 06:29 - 26/12/07 06:30\r\n");
    // Lower case and tags cut by a line end stay as they are.
    EXPECT_EQ(make("##ipaddress## ##IPADDR\nESS## ##DateTime##"),
              "##ipaddress## ##IPADDR\r\nESS## ##DateTime##\r\n");
    // Double-byte text around a tag is kept whole.
    EXPECT_EQ(make(Hyo + "##IPADDRESS##" + Hyo + "\r\n"), Hyo + "192.168.0.5" + Hyo + "\r\n");
    // A tag that appears once the first one is gone is replaced too.
    EXPECT_EQ(settings::MakePageText("##IP##IPADDRESS##ADDRESS##", "", std::ref(clock)), "\r\n");
    // An empty own address leaves nothing in place of the tag.
    EXPECT_EQ(settings::MakePageText("[##IPADDRESS##]", "", std::ref(clock)), "[]\r\n");
}

TEST(PageText, AtMost999CharactersFollowATag) {
    auto make = [](const AnsiString& text) {
        return settings::MakePageText(text, "10.0.0.1", TTickingClock());
    };
    EXPECT_EQ(make("x##IPADDRESS##" + std::string(1500, 'y')),
              "x10.0.0.1" + std::string(999, 'y') + "\r\n");
    // Counted in characters: a double-byte character is one, never cut in two.
    AnsiString wide;
    for (int i = 0; i < 1500; ++i)
        wide += Hyo;
    AnsiString kept;
    for (int i = 0; i < 999; ++i)
        kept += Hyo;
    EXPECT_EQ(make("##DATETIME##" + wide), "26/12/07 06:29" + kept + "\r\n");
    EXPECT_EQ(make("##IPADDRESS##" + std::string(999, 'z')),
              "10.0.0.1" + std::string(999, 'z') + "\r\n");
    // Text before the tag is never cut.
    EXPECT_EQ(make(std::string(2000, 'a') + "##IPADDRESS##"),
              std::string(2000, 'a') + "10.0.0.1\r\n");
}

// Linux templates are mostly UTF-8: there a tag after テスト is found (a
// CP932 walk takes its last byte and the "#" for one character), and the
// limit counts UTF-8 characters, never cutting one.
TEST(PageText, Utf8TemplatesAreWalkedByUtf8Characters) {
    auto make = [](const std::string& text) {
        return settings::MakePageText(text, "192.168.0.5", TTickingClock());
    };
    EXPECT_EQ(make("<p>テスト##IPADDRESS##テスト</p>\n<p>日時：##DATETIME##です</p>\n"),
              "<p>テスト192.168.0.5テスト</p>\r\n<p>日時：26/12/07 06:29です</p>\r\n");
    std::string wide, kept;
    for (int i = 0; i < 1500; ++i)
        wide += "あ";
    for (int i = 0; i < 999; ++i)
        kept += "あ";
    EXPECT_EQ(make("テスト##IPADDRESS##" + wide), "テスト192.168.0.5" + kept + "\r\n");
    // Only a valid UTF-8 text with non-ASCII bytes counts as UTF-8.
    EXPECT_EQ(settings::PageEncodingOf("テスト"), settings::TPageEncoding::Utf8);
    EXPECT_EQ(settings::PageEncodingOf("plain"), settings::TPageEncoding::Cp932);
    EXPECT_EQ(settings::PageEncodingOf(Sjis("テスト")), settings::TPageEncoding::Cp932);
    EXPECT_EQ(settings::PageEncodingOf("\xC0\xAF overlong"), settings::TPageEncoding::Cp932);
    EXPECT_EQ(settings::PageEncodingOf("\xED\xA0\x80 surrogate"), settings::TPageEncoding::Cp932);
    EXPECT_EQ(settings::PageEncodingOf("cut \xE3\x83"), settings::TPageEncoding::Cp932);
    // The same characters in CP932 are walked as CP932.
    EXPECT_EQ(make(Sjis("テスト##IPADDRESS##テスト")), Sjis("テスト192.168.0.5テスト") + "\r\n");
}

TEST(PageText, TimeUsesTheLocaleSeparators) {
    QDateTime t(QDate(2026, 12, 7), QTime(6, 29, 59));
    EXPECT_EQ(settings::FormatPageTime(t, QLocale(QLocale::Japanese, QLocale::Japan)),
              "26/12/07 06:29");
    EXPECT_EQ(settings::FormatPageTime(t, QLocale(QLocale::German, QLocale::Germany)),
              "26.12.07 06:29");
    EXPECT_EQ(settings::FormatPageTime(QDateTime(QDate(2000, 1, 2), QTime(23, 5)),
                                       QLocale(QLocale::Japanese, QLocale::Japan)),
              "00/01/02 23:05");
}

TEST(PageText, RemotePlaceIsCutAtTheLastBackslashOrColon) {
    using V = std::vector<AnsiString>;
    auto place = settings::SplitFtpDir("public_html\\ip\\index.html");
    EXPECT_EQ(place.Folders, (V{"public_html", "ip"}));
    EXPECT_EQ(place.FileName, "index.html");
    place = settings::SplitFtpDir("index.html");
    EXPECT_EQ(place.Folders, V{});
    EXPECT_EQ(place.FileName, "index.html");
    place = settings::SplitFtpDir("\\index.html");
    EXPECT_EQ(place.Folders, V{});
    EXPECT_EQ(place.FileName, "index.html");
    place = settings::SplitFtpDir("\\\\a\\\\b\\");
    EXPECT_EQ(place.Folders, (V{"a", "b"}));
    EXPECT_EQ(place.FileName, "");
    place = settings::SplitFtpDir("disk:www\\page.htm");
    EXPECT_EQ(place.Folders, (V{"disk:www"}));
    EXPECT_EQ(place.FileName, "page.htm");
    place = settings::SplitFtpDir("disk:page.htm");
    EXPECT_EQ(place.Folders, (V{"disk:"}));
    EXPECT_EQ(place.FileName, "page.htm");
    // 表 holds the backslash's code as its second byte: no cut inside it.
    place = settings::SplitFtpDir(Hyo + "\\" + Hyo + "x\\" + Hyo + ".html");
    EXPECT_EQ(place.Folders, (V{Hyo, Hyo + "x"}));
    EXPECT_EQ(place.FileName, Hyo + ".html");
    place = settings::SplitFtpDir(Hyo + ".html");
    EXPECT_EQ(place.Folders, V{});
    EXPECT_EQ(place.FileName, Hyo + ".html");
    place = settings::SplitFtpDir("");
    EXPECT_EQ(place.Folders, V{});
    EXPECT_EQ(place.FileName, "");
}

TEST(PageFile, WrittenFromAnExistingTemplateOnly) {
    testsupport::TempDir dir;
    const fs::path page = dir / "Tmp.txt";
    settings::MakePageFile(dir / "absent.html", page, "1.2.3.4");
    settings::MakePageFile(dir.Path(), page, "1.2.3.4"); // a folder
    settings::MakePageFile("", page, "1.2.3.4");
    EXPECT_FALSE(fs::exists(page));

    Write(dir / "t.html", Sjis("<p>表示 ##IPADDRESS##</p>\n<p>①㈱～</p>"));
    settings::MakePageFile(dir / "t.html", page, "1.2.3.4");
    EXPECT_EQ(Read(page), Sjis("<p>表示 1.2.3.4</p>\r\n<p>①㈱～</p>\r\n"));
    // A page that cannot be written is an error for the caller.
    EXPECT_THROW(settings::MakePageFile(dir / "t.html", dir / "no" / "such" / "Tmp.txt", "x"),
                 platform::Exception);
    EXPECT_EQ(settings::PageFilePath().filename(), "Tmp.txt");

    // An empty template makes an empty page, over whatever the last one held.
    Write(dir / "empty.html", "");
    settings::MakePageFile(dir / "empty.html", page, "1.2.3.4");
    EXPECT_TRUE(fs::exists(page));
    EXPECT_EQ(Read(page), "");
    // A template that cannot be read is an error.
    fs::permissions(dir / "t.html", fs::perms::none);
    if (::geteuid() != 0) {
        EXPECT_THROW(settings::MakePageFile(dir / "t.html", page, "1.2.3.4"), platform::Exception);
    }
}

// The options dialog against pyftpdlib; boxes are caught by the base.
class NotifyUpload : public TSettingsTest {
  protected:
    static void SetUpTestSuite() { TSuiteFtpServer::Start(); }
    static void TearDownTestSuite() { TSuiteFtpServer::Stop(); }
    void SetUp() override {
        TSettingsTest::SetUp();
        server_ = TSuiteFtpServer::Server();
        if (!server_) GTEST_SKIP() << "pyftpdlib is not installed";
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        for (const auto& entry : fs::directory_iterator(Root()))
            fs::remove_all(entry.path());
        fs::create_directories(Root() / "public_html" / "ip");

        optfm = std::make_unique<TOptfm>(nullptr,
                                         [] { return std::vector<AnsiString>{"192.168.0.5"}; });
        optfm->FTP.Client().Port = server_->Port();
        optfm->Notifier().PageFile = local_ / "Tmp.txt";
        optfm->cbNotify->setChecked(true);
        optfm->Edftpaddress->setText("127.0.0.1");
        optfm->EdLogin->setText(TRealFtpServer::User);
        optfm->Edpwd->setText(TRealFtpServer::Password);
        optfm->Edftpdir->setText("public_html\\ip\\index.html");
        Write(local_ / "start.html", StartTemplate);
        Write(local_ / "exit.html", "<p>closed at ##DATETIME##</p>\r\n");
        optfm->Edconnecting->setText(QString::fromStdString((local_ / "start.html").string()));
        optfm->Eddisconnect->setText(QString::fromStdString((local_ / "exit.html").string()));
    }
    static fs::path Root() { return TSuiteFtpServer::Root(); }
    fs::path Uploaded() const { return Root() / "public_html" / "ip" / "index.html"; }
    std::vector<AnsiString> Log() const { return optfm->Ftpdebugfm()->Lines(); }
    int LogCount(const AnsiString& line) const {
        auto lines = Log();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    void ExpectBox(size_t index, const char* text, unsigned icon) {
        ASSERT_GT(Boxes.size(), index);
        EXPECT_EQ(Boxes[index].Text, QString::fromUtf8(text));
        EXPECT_EQ(Boxes[index].Caption, "Parlora");
        EXPECT_EQ(Boxes[index].Flags & 0xF0, icon);
    }
    // The page as the server keeps an ASCII upload: LF line ends.
    static std::string Stored(std::string page) {
        for (size_t i; (i = page.find("\r\n")) != std::string::npos;)
            page.erase(i, 1);
        return page;
    }
    // True when `page` is `text` built at one of the minutes in [before, after].
    static bool BuiltBetween(const std::string& page, const AnsiString& text, QDateTime before,
                             const QDateTime& after) {
        for (; before <= after.addSecs(60); before = before.addSecs(60))
            if (page == settings::MakePageText(text, "192.168.0.5", [&] { return before; }))
                return true;
        return false;
    }

    const AnsiString StartTemplate =
        Sjis("<html>\r\n<p>表示 ##IPADDRESS##:47624</p>\n<p>##DATETIME##</p>\r##ipaddress##");
    TRealFtpServer* server_ = nullptr;
    testsupport::TempDir local_;
    std::unique_ptr<TOptfm> optfm;
};

TEST_F(NotifyUpload, StartPageOncePerRunThenExitPage) {
    const QDateTime before = QDateTime::currentDateTime();
    optfm->NotifyStartPage();
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_EQ(Boxes.size(), 1u);
    ExpectBox(0, "ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    EXPECT_TRUE(optfm->StartPageSent());
    // The page file stays beside the program and holds the page sent.
    const std::string page = Read(optfm->Notifier().PageFile);
    EXPECT_TRUE(BuiltBetween(page, StartTemplate, before, after));
    EXPECT_TRUE(Stored(page) == Read(Uploaded()));
    EXPECT_NE(page.find(Sjis("表示 192.168.0.5:47624")), std::string::npos);
    EXPECT_EQ(LogCount("230 Connect success"), 1);
    EXPECT_EQ(LogCount("250 ChangeDir success"), 2);
    EXPECT_EQ(LogCount("221 Disconnected"), 1);
    for (const AnsiString& line : Log())
        EXPECT_NE(line.rfind("D*", 0), 0u) << line;
    EXPECT_FALSE(optfm->Ftpdebugfm()->isVisible());

    // Later rooms send nothing.
    optfm->NotifyStartPage();
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(LogCount("230 Connect success"), 1);

    // Notification switched off since: no exit page.
    optfm->cbNotify->setChecked(false);
    optfm->NotifyExitPage();
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(LogCount("230 Connect success"), 1);
    optfm->cbNotify->setChecked(true);

    // The exit page: a missing template is reported, a present one sent,
    // here through a path with empty pieces.
    optfm->Eddisconnect->setText("");
    optfm->NotifyExitPage();
    ExpectBox(1, "終了時のHTMLファイルが見つかりません 設定を確認して下さい",
              platform::MB_ICONERROR);
    optfm->Eddisconnect->setText(QString::fromStdString((local_ / "exit.html").string()));
    optfm->Edftpdir->setText("\\public_html\\\\ip\\exit.html");
    optfm->NotifyExitPage();
    ExpectBox(2, "ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    EXPECT_EQ(Read(Root() / "public_html" / "ip" / "exit.html").rfind("<p>closed at ", 0), 0u);
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_EQ(LogCount("230 Connect success"), 2);
}

TEST_F(NotifyUpload, WrongPasswordIsReportedAndTheNextRoomTriesAgain) {
    optfm->Edpwd->setText("wrong");
    optfm->NotifyStartPage();
    ASSERT_EQ(Boxes.size(), 1u);
    ExpectBox(0, "FTPでエラーが発生しました", platform::MB_ICONERROR);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), "FTP Login Error 530");
    EXPECT_FALSE(optfm->StartPageSent());
    EXPECT_FALSE(fs::exists(Uploaded()));
    // No start page, so no exit page either.
    optfm->NotifyExitPage();
    EXPECT_EQ(Boxes.size(), 1u);

    optfm->Edpwd->setText(TRealFtpServer::Password);
    optfm->NotifyStartPage();
    ExpectBox(1, "ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_TRUE(fs::exists(Uploaded()));
    // The window keeps the lines of the failed try above the new ones.
    EXPECT_EQ(LogCount("FTP Login Error 530"), 1);

    // PARLORA_SCREENSHOT_DIR=docs/screenshots keeps a picture of the window.
    if (const char* shots = std::getenv("PARLORA_SCREENSHOT_DIR")) {
        Tftpdebugfm* window = optfm->Ftpdebugfm();
        window->show();
        EXPECT_TRUE(window->grab().save(QString::fromLocal8Bit(shots) + "/ftp-log-window.png"));
        window->hide();
    }
}

TEST_F(NotifyUpload, FailingStepsNameThemselves) {
    // A missing folder fails the change into it.
    optfm->Edftpdir->setText("public_html\\nowhere\\index.html");
    optfm->NotifyStartPage();
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), "FTP Cwd Error 550");
    // An unreachable server fails the login with 999.
    int port = optfm->FTP.Client().Port;
    {
        TClosedPort closed;
        ASSERT_NE(closed.Port(), 0);
        optfm->FTP.Client().Port = closed.Port();
        optfm->NotifyStartPage();
    }
    EXPECT_EQ(Log().back(), "FTP Login Error 999");
    optfm->FTP.Client().Port = port;
    ASSERT_EQ(Boxes.size(), 2u);
    ExpectBox(0, "FTPでエラーが発生しました", platform::MB_ICONERROR);
    ExpectBox(1, "FTPでエラーが発生しました", platform::MB_ICONERROR);
    EXPECT_FALSE(optfm->StartPageSent());
}

TEST_F(NotifyUpload, AnEmptyPlaceStoresUnderThePageFilesOwnName) {
    // Upload sends the local file's name when it is given no remote name.
    optfm->Edftpdir->setText("");
    optfm->NotifyStartPage();
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_TRUE(fs::exists(Root() / "Tmp.txt"));
    EXPECT_FALSE(fs::exists(Uploaded()));
}

TEST_F(NotifyUpload, MissingTemplateOrNotificationOffSendsNothing) {
    optfm->cbNotify->setChecked(false);
    optfm->NotifyStartPage();
    EXPECT_TRUE(Boxes.empty());
    optfm->cbNotify->setChecked(true);
    optfm->Edconnecting->setText("");
    optfm->NotifyStartPage();
    ASSERT_EQ(Boxes.size(), 1u);
    ExpectBox(0, "起動中のHTMLファイルが見つかりません 設定を確認して下さい",
              platform::MB_ICONERROR);
    EXPECT_FALSE(fs::exists(optfm->Notifier().PageFile));
    EXPECT_TRUE(Log().empty());
    EXPECT_FALSE(optfm->StartPageSent());
}

TEST_F(NotifyUpload, LogWindowShownDuringTheUploadAndNoSecondUploadMeanwhile) {
    optfm->cbftpdebug->setChecked(true);
    std::vector<bool> visible;
    auto inner = optfm->FTP.OnLogging;
    optfm->FTP.OnLogging = [&, inner](TLowFTP* sender, const AnsiString& line) {
        inner(sender, line);
        visible.push_back(optfm->Ftpdebugfm()->isVisible());
        // Someone creating another room, or closing, while the page goes out.
        if (visible.size() == 1) {
            EXPECT_TRUE(optfm->Notifier().Uploading());
            optfm->NotifyStartPage();
            optfm->NotifyExitPage();
        }
    };
    optfm->NotifyStartPage();
    ASSERT_FALSE(visible.empty());
    EXPECT_TRUE(std::all_of(visible.begin(), visible.end(), [](bool v) { return v; }));
    EXPECT_FALSE(optfm->Ftpdebugfm()->isVisible());
    EXPECT_FALSE(optfm->Notifier().Uploading());
    EXPECT_TRUE(Boxes.empty()); // no success box while the log is on
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_EQ(LogCount("230 Connect success"), 1);

    // The exit page's success box shows whatever the option says.
    optfm->NotifyExitPage();
    ExpectBox(0, "ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    EXPECT_EQ(LogCount("230 Connect success"), 2);
}

// Paths in the settings are CP932 text; the files behind them have UTF-8
// names: a template in a Japanese folder, the page file in one, and the
// remote name taken from the page file's own name.
TEST_F(NotifyUpload, JapaneseFolderNamesForTemplateAndPageFile) {
    const fs::path home = local_ / "ホームページ";
    const fs::path pages = local_ / "テスト";
    fs::create_directories(home);
    fs::create_directories(pages);
    Write(home / "start.html", "<p>テスト##IPADDRESS##テスト</p>\r\n");
    optfm->Edconnecting->setText(QString::fromStdString((home / "start.html").string()));
    optfm->Notifier().PageFile = pages / "Tmp.txt";
    optfm->Edftpdir->setText("");
    // As the registry hands it over: CP932 text.
    optfm->SaveSettings();
    optfm->Edconnecting->clear();
    optfm->LoadSettings();
    optfm->NotifyStartPage();
    ExpectBox(0, "ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_EQ(Read(pages / "Tmp.txt"), "<p>テスト192.168.0.5テスト</p>\r\n");
    EXPECT_EQ(Read(Root() / "Tmp.txt"), "<p>テスト192.168.0.5テスト</p>\n");
}

// The server's disk is full: the server takes the data and refuses the
// store in its completion reply, which is what the user has to be told.
class NotifyDiskFull : public TSettingsTest,
                       public ::testing::WithParamInterface<TRealFtpServer::TKind> {
  protected:
    void SetUp() override {
        TSettingsTest::SetUp();
        if (!TRealFtpServer::Available(GetParam()))
            GTEST_SKIP() << TRealFtpServer::Name(GetParam()) << " is not installed";
        disk_ = std::make_unique<nettest::TTmpfsMount>(Root(), 64 * 1024);
        if (!disk_->Why().empty()) GTEST_SKIP() << "no full disk to test with: " << disk_->Why();
        // Started after the mount, so that the server sees it.
        server_ = std::make_unique<TRealFtpServer>(GetParam(), Root());
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        optfm = std::make_unique<TOptfm>(nullptr,
                                         [] { return std::vector<AnsiString>{"192.168.0.5"}; });
        optfm->FTP.Client().Port = server_->Port();
        optfm->Notifier().PageFile = local_ / "Tmp.txt";
        optfm->cbNotify->setChecked(true);
        optfm->cbftpdebug->setChecked(true);
        optfm->Edftpaddress->setText("127.0.0.1");
        optfm->EdLogin->setText(TRealFtpServer::User);
        optfm->Edpwd->setText(TRealFtpServer::Password);
        optfm->Edftpdir->setText("index.html");
        // Larger than a server's file buffer, so that the failing write is
        // seen while the data arrives (pyftpdlib says nothing for one that
        // fails only when the file is closed), and small enough for the
        // socket buffers.
        Write(local_ / "start.html", "<p>##IPADDRESS##</p>\r\n" + std::string(20000, 'x') + "\r\n");
        optfm->Edconnecting->setText(QString::fromStdString((local_ / "start.html").string()));
    }
    void TearDown() override {
        optfm.reset();
        server_.reset(); // before the disk goes
        disk_.reset();
        TSettingsTest::TearDown();
    }
    fs::path Root() const { return local_ / "disk"; }
    std::vector<AnsiString> Log() const { return optfm->Ftpdebugfm()->Lines(); }

    testsupport::TempDir local_;
    std::unique_ptr<nettest::TTmpfsMount> disk_;
    std::unique_ptr<TRealFtpServer> server_;
    std::unique_ptr<TOptfm> optfm;
};

TEST_P(NotifyDiskFull, FailsWithTheServersCodeAndTheNextRoomSendsOnceThereIsSpace) {
    disk_->Fill();
    optfm->NotifyStartPage();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QStringLiteral("FTPでエラーが発生しました"));
    EXPECT_EQ(Boxes[0].Flags & 0xF0, platform::MB_ICONERROR);
    EXPECT_FALSE(optfm->StartPageSent());
    EXPECT_TRUE(optfm->Ftpdebugfm()->isVisible()); // stays up, with the reason
    const std::vector<AnsiString> log = Log();
    ASSERT_FALSE(log.empty());
    const AnsiString last = log.back();
    ASSERT_EQ(last.rfind("FTP Put Error ", 0), 0u) << last;
    const int code = std::atoi(last.c_str() + 14);
    EXPECT_GT(code, 400) << last;
    EXPECT_LT(code, 600) << last;
    // The server's own reply line is in the log.
    const AnsiString reply = std::to_string(code) + " ";
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const AnsiString& l) {
        return l.rfind(reply, 0) == 0 && l.find("Upload success") == AnsiString::npos;
    }));
    for (const AnsiString& l : log)
        EXPECT_EQ(l.find("Upload success"), AnsiString::npos) << l;

    // Space again: the next room sends the page.
    disk_->Free();
    optfm->NotifyStartPage();
    EXPECT_TRUE(optfm->StartPageSent()) << Log().back();
    EXPECT_EQ(Boxes.size(), 1u); // with the log window on, success shows no box
    EXPECT_FALSE(optfm->Ftpdebugfm()->isVisible());
    EXPECT_EQ(Read(Root() / "index.html"), "<p>192.168.0.5</p>\n" + std::string(20000, 'x') + "\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, NotifyDiskFull,
                         ::testing::Values(TRealFtpServer::TKind::PyFtpd,
                                           TRealFtpServer::TKind::PureFtpd),
                         [](const auto& info) { return TRealFtpServer::TestName(info.param); });

TEST(FtpLogWindow, PlacementAndMemo) {
    Tftpdebugfm window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("ホームページ更新ＬＯＧ"));
    EXPECT_EQ(window.pos(), QPoint(485, 186));
    EXPECT_TRUE(window.Memo1->isReadOnly());
    EXPECT_EQ(window.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(window.StatusBar1->height(), 19);
    window.AddLine("230 Connect success");
    window.AddLine(Sjis("FTP Login Error 530 表"));
    EXPECT_EQ(window.Lines(),
              (std::vector<AnsiString>{"230 Connect success", Sjis("FTP Login Error 530 表")}));
}

TEST_F(NotifyUpload, LogWindowListsTheSessionInOrder) {
    optfm->FTP.debugmode = true;
    optfm->NotifyStartPage();
    ASSERT_TRUE(optfm->StartPageSent());
    std::vector<AnsiString> replies;
    for (const AnsiString& line : Log())
        if (line.rfind("D*", 0) != 0) replies.push_back(line);
    ASSERT_GE(replies.size(), 7u);
    // The suite's server has no TLS: the session goes on in the clear and says so first.
    EXPECT_EQ(replies[0].rfind("The server does not offer TLS (500 ", 0), 0u) << replies[0];
    EXPECT_EQ(replies[1], "230 Connect success");
    EXPECT_EQ(replies[2], "200 DoCommand success");
    EXPECT_EQ(replies[3], "250 ChangeDir success");
    EXPECT_EQ(replies[4], "250 ChangeDir success");
    EXPECT_TRUE(replies[5] == "125 Upload success" || replies[5] == "150 Upload success")
        << replies[5];
    EXPECT_EQ(replies[6].rfind("    Transfer End ", 0), 0u);
    EXPECT_EQ(replies.back(), "221 Disconnected");
    EXPECT_GT(Log().size(), replies.size()); // the debug lines are there too
}

TEST_F(NotifyUpload, ServerPortFromTheEnvironment) {
    auto listOne = [] { return std::vector<AnsiString>{"192.168.0.5"}; };
    for (const char* bad : {"", "abc", "-21", "0", "70000", "99999999999999999999"}) {
        ::setenv("PARLORA_FTP_PORT", bad, 1);
        EXPECT_EQ(TOptfm(nullptr, listOne).FTP.Client().Port, 21) << bad;
    }
    ::setenv("PARLORA_FTP_PORT", std::to_string(server_->Port()).c_str(), 1);
    TOptfm dialog(nullptr, listOne);
    ::unsetenv("PARLORA_FTP_PORT");
    dialog.Notifier().PageFile = optfm->Notifier().PageFile;
    dialog.cbNotify->setChecked(true);
    for (QLineEdit* box : {dialog.Edftpaddress, dialog.EdLogin, dialog.Edpwd, dialog.Edconnecting,
                           dialog.Eddisconnect, dialog.Edftpdir})
        box->setText(optfm->findChild<QLineEdit*>(box->objectName())->text());
    dialog.NotifyStartPage();
    EXPECT_TRUE(dialog.StartPageSent());
    EXPECT_TRUE(fs::exists(Uploaded()));
}

// The address page over TLS, as the options dialog sends it: a pyftpdlib
// server of the test's own with a certificate from a test authority that
// the test trusts.
class NotifyOverTls : public TSettingsTest {
  protected:
    void SetUp() override {
        TSettingsTest::SetUp();
        if (!TRealFtpServer::Available(TRealFtpServer::TKind::PyFtpd))
            GTEST_SKIP() << "pyftpdlib is not installed";
        authority_ = std::make_unique<nettest::TTestAuthority>(local_ / "ca");
        ASSERT_EQ(authority_->Why(), "");
        authority_->TrustOnlyThis();
        fs::create_directories(local_ / "root");
        optfm = std::make_unique<TOptfm>(nullptr,
                                         [] { return std::vector<AnsiString>{"192.168.0.5"}; });
        optfm->Notifier().PageFile = local_ / "Tmp.txt";
        optfm->cbNotify->setChecked(true);
        optfm->cbftpdebug->setChecked(true); // no box after a success
        optfm->Edftpaddress->setText(QString::fromStdString(address_));
        optfm->EdLogin->setText(TRealFtpServer::User);
        optfm->Edpwd->setText(TRealFtpServer::Password);
        optfm->Edftpdir->setText("index.html");
        Write(local_ / "start.html", "<p>##IPADDRESS##</p>\r\n");
        optfm->Edconnecting->setText(QString::fromStdString((local_ / "start.html").string()));
    }
    void Start(TRealFtpServer::TTls tls, nettest::TTestAuthority* issuer = nullptr) {
        TRealFtpServer::TOptions options;
        options.Address = address_;
        options.Tls = tls;
        options.RequireReuse = true;
        options.Events = (local_ / "events").string();
        if (tls != TRealFtpServer::TTls::None)
            options.CertFile =
                (issuer ? issuer : authority_.get())->Issue("server.pem", "IP:" + address_);
        server_ = std::make_unique<TRealFtpServer>(TRealFtpServer::TKind::PyFtpd, local_ / "root",
                                                   options);
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        optfm->FTP.Client().Port = server_->Port();
    }
    void Choose(const char* text) { optfm->cbFtpTls->setCurrentText(QString::fromUtf8(text)); }
    std::string Joined() const {
        std::string all;
        for (const AnsiString& line : optfm->Ftpdebugfm()->Lines())
            all += line + "\n";
        return all;
    }
    std::string Events() const { return Read(local_ / "events"); }
    bool Uploaded() const { return fs::exists(local_ / "root" / "index.html"); }
    // A start page that must not go out, for the reason the one box gives;
    // the server never saw a login.
    void ExpectRefused(const char* box) {
        optfm->NotifyStartPage();
        EXPECT_FALSE(optfm->StartPageSent());
        EXPECT_FALSE(Uploaded());
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, QString::fromUtf8(box));
        EXPECT_EQ(Events().find("login"), std::string::npos) << Events();
    }

    testsupport::TempDir local_;
    std::string address_ = nettest::OwnLoopbackAddress(7);
    std::unique_ptr<nettest::TTestAuthority> authority_;
    std::unique_ptr<TRealFtpServer> server_;
    std::unique_ptr<TOptfm> optfm;
};

TEST_F(NotifyOverTls, RequiredSendsThePageEncryptedAndTheLogSaysSo) {
    Start(TRealFtpServer::TTls::Required);
    Choose("必須");
    optfm->NotifyStartPage();
    EXPECT_TRUE(optfm->StartPageSent()) << Joined();
    EXPECT_TRUE(Uploaded());
    EXPECT_TRUE(Boxes.empty());
    const std::string log = Joined();
    EXPECT_NE(log.find("TLS: TLSv1."), std::string::npos) << log;
    EXPECT_NE(log.find("Data connection: TLS, session resumed"), std::string::npos) << log;
    EXPECT_EQ(log.find(TRealFtpServer::Password), std::string::npos) << log;
    EXPECT_EQ(Events().find("clear"), std::string::npos) << Events();
}

TEST_F(NotifyOverTls, RequiredAgainstAServerWithoutTlsSendsNothing) {
    Start(TRealFtpServer::TTls::None);
    Choose("必須");
    ExpectRefused("FTPでエラーが発生しました\n"
                  "FTPサーバーが暗号化(TLS)に対応していません 設定を確認して下さい");

    // "When offered" sends it in the clear, and the log tells.
    Choose("使えれば使う");
    optfm->NotifyStartPage();
    EXPECT_TRUE(optfm->StartPageSent());
    EXPECT_NE(Joined().find("The server does not offer TLS"), std::string::npos) << Joined();
}

TEST_F(NotifyOverTls, UntrustedCertificateIsAnErrorThatSaysSo) {
    nettest::TTestAuthority stranger(local_ / "stranger", "stranger");
    ASSERT_EQ(stranger.Why(), "");
    Start(TRealFtpServer::TTls::Offered, &stranger);
    Choose("使えれば使う");
    ExpectRefused("FTPでエラーが発生しました\n"
                  "FTPサーバーの証明書を確認できないため送信を中止しました");
    EXPECT_NE(Joined().find("could not be verified"), std::string::npos) << Joined();
}
