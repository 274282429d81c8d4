// The synchronous FTP session: result codes, its log lines and progress,
// against a real FTP server started on 127.0.0.1.
#include "TRealFtpServer.h"
#include "TScriptServer.h"
#include "settings/TLowFTP.h"
#include "support/TempDir.h"
#include "test_lowftp_servers.h"

#include <QEventLoop>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace fs = std::filesystem;
using nettest::TRealFtpServer;

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

bool StartsWith(const AnsiString& s, const AnsiString& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const AnsiString& s, const AnsiString& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What an ASCII store leaves on this (Unix) server: LF line ends.
std::string LocalLineEnds(std::string text) {
    for (size_t i; (i = text.find("\r\n")) != std::string::npos;)
        text.erase(i, 1);
    return text;
}

std::string Joined(const std::vector<AnsiString>& lines) {
    std::string all;
    for (const AnsiString& l : lines)
        all += l + "\n";
    return all;
}

} // namespace

TEST(LowFtpCodes, TheCodeALineCarries) {
    EXPECT_EQ(TLowFTP::CodeOf("530 Login incorrect."), 530);
    EXPECT_EQ(TLowFTP::CodeOf("226 "), 226);
    EXPECT_EQ(TLowFTP::CodeOf("Host Lookup Timed Out"), 999);
    EXPECT_EQ(TLowFTP::CodeOf("-12 x"), -12);
    EXPECT_EQ(TLowFTP::CodeOf("12 x"), 999); // two digits only
    EXPECT_EQ(TLowFTP::CodeOf("530-more"), 999);
    EXPECT_EQ(TLowFTP::CodeOf("530"), 999); // shorter than four characters
    EXPECT_EQ(TLowFTP::CodeOf("- 1 x"), 999);
    EXPECT_EQ(TLowFTP::CodeOf("--- x"), 999); // a minus sign alone is no number
    EXPECT_EQ(TLowFTP::CodeOf(""), 999);
}

TEST(LowFtpCodes, DebugLineAndTransferSummary) {
    EXPECT_EQ(TLowFTP::FormatDebugLine(1234, "Connect Send "), "D*01234:Connect Send ");
    EXPECT_EQ(TLowFTP::FormatDebugLine(123456789, "Connect Send "), "D*123456789:Connect Send ");
    EXPECT_EQ(TLowFTP::TransferSummary("Transfer", 4096, 250),
              "    Transfer End 4096 Byte (16384.00Byte/sec)");
    EXPECT_EQ(TLowFTP::TransferSummary("Retrived", 0, 10),
              "    Retrived End 0 Byte (0.00Byte/sec)");
    // A transfer within one clock tick still gives a number.
    AnsiString instant = TLowFTP::TransferSummary("Transfer", 300, 0);
    EXPECT_TRUE(StartsWith(instant, "    Transfer End 300 Byte (")) << instant;
    EXPECT_EQ(instant.find("inf"), AnsiString::npos);
    EXPECT_EQ(instant.find("nan"), AnsiString::npos);
}

TEST(LowFtpCodes, LinesReachTheHandlerBeforeTheyAreKept) {
    TLowFTP ftp;
    std::vector<size_t> keptWhenCalled;
    ftp.OnLogging = [&](TLowFTP* sender, const AnsiString&) {
        EXPECT_EQ(sender, &ftp);
        keptWhenCalled.push_back(ftp.LogLines().size());
    };
    EXPECT_EQ(ftp.AddLog("250 ChangeDir success"), 250);
    EXPECT_EQ(ftp.AddLog("oops"), 999);
    EXPECT_EQ(keptWhenCalled, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(ftp.LogLines().size(), 2u);
    EXPECT_EQ(ftp.Setup("no.such.host.invalid", "", 0), 100);
    EXPECT_EQ(ftp.Setup("", "proxy", 21), 100);
}

TEST(LowFtpCodes, SplitPathSkipsEmptyPiecesAndKeepsDoubleByteCharacters) {
    const AnsiString hyo = "\x95\x5c"; // 表: its second byte is the backslash's code
    EXPECT_EQ(TLowFTP::SplitPath("\\a\\\\b\\"), (std::vector<AnsiString>{"a", "b"}));
    EXPECT_EQ(TLowFTP::SplitPath(hyo + "\\" + hyo + "x"),
              (std::vector<AnsiString>{hyo, hyo + "x"}));
    EXPECT_TRUE(TLowFTP::SplitPath("").empty());
    EXPECT_TRUE(TLowFTP::SplitPath("\\\\").empty());
}

// A reply's blanks around its text go, trailing ones included, from the line
// that is logged and from the one the code is read from.
TEST(LowFtpScripted, ReplyLinesAreLoggedTrimmed) {
    nettest::TScriptServer server([](nettest::TScriptServer::TConn& c) {
        c.Send("220 hi\r\n");
        c.Expect();
        c.Send("530 Not you \t \r\n");
        c.Expect();
        c.Send("221 bye\r\n");
    });
    TLowFTP ftp;
    ftp.Client().Port = server.Port();
    ftp.Client().TlsMode = net::TTlsMode::Never; // the script knows no AUTH
    ftp.WaitTimeout = 30000;
    ftp.Setup("127.0.0.1", "", 21);
    EXPECT_EQ(ftp.Connect("user", "pw"), 530);
    EXPECT_NE(std::find(ftp.LogLines().begin(), ftp.LogLines().end(), "530 Not you"),
              ftp.LogLines().end())
        << Joined(ftp.LogLines());
    server.Join();
}

// A refusal of several lines keeps its code (not 999) and every line is logged.
TEST(LowFtpCodes, MultiLineRefusalGivesItsCode) {
    using TConn = nettest::TScriptServer::TConn;
    nettest::TScriptServer server([](TConn& c) {
        c.Send("220 ready\r\n");
        c.Expect(); // USER
        c.Send("331 password please\r\n");
        c.Expect(); // PASS
        c.Send("530-Login incorrect.\r\n530-Check the name\r\n530 Bye\r\n");
        if (c.Expect() == "QUIT") c.Send("221 bye\r\n");
    });
    TLowFTP ftp;
    ftp.Client().Port = server.Port();
    ftp.WaitTimeout = 10000;
    ftp.Setup("127.0.0.1", "", 21);
    EXPECT_EQ(ftp.Connect("user", "wrong"), 530);
    const std::vector<AnsiString>& lines = ftp.LogLines();
    EXPECT_EQ(std::vector<AnsiString>(lines.end() - 3, lines.end()),
              (std::vector<AnsiString>{"530 Login incorrect.", "530 Check the name", "530 Bye"}));
}

class LowFtpReal : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { TSuiteFtpServer::Start(); }
    static void TearDownTestSuite() { TSuiteFtpServer::Stop(); }
    void SetUp() override {
        server_ = TSuiteFtpServer::Server();
        if (!server_) GTEST_SKIP() << "pyftpdlib is not installed";
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        ftp.Client().Port = server_->Port();
        ftp.WaitTimeout = 30000;
        ftp.OnLogging = [this](TLowFTP*, const AnsiString& line) { Delivered.push_back(line); };
    }
    static fs::path Root() { return TSuiteFtpServer::Root(); }
    fs::path Local(const std::string& name, const std::string& content) {
        std::ofstream(local_ / name, std::ios::binary) << content;
        return local_ / name;
    }
    bool Has(const AnsiString& line) const {
        return std::find(ftp.LogLines().begin(), ftp.LogLines().end(), line) !=
               ftp.LogLines().end();
    }
    int Count(const std::function<bool(const AnsiString&)>& pred) const {
        return static_cast<int>(std::count_if(ftp.LogLines().begin(), ftp.LogLines().end(), pred));
    }
    int DebugLines() const {
        return Count(
            [](const AnsiString& l) { return StartsWith(l, "D*") || EndsWith(l, "Event"); });
    }

    TRealFtpServer* server_ = nullptr;
    testsupport::TempDir local_;
    TLowFTP ftp;
    std::vector<AnsiString> Delivered;
};

TEST_F(LowFtpReal, WholeSessionWithoutDebugLines) {
    fs::create_directories(Root() / "b" / "c");
    std::string content = "<html>\r\n" + std::string(100000, 'x') + "\r\n</html>\r\n";
    fs::path page = Local("page.html", content);
    int progress = 0;
    int32_t finishedBytes = -1;
    int connects = 0, closes = 0;
    ftp.Ontransfer = [&](TLowFTP*, int32_t n, int32_t ms) {
        ++progress;
        EXPECT_GT(n, 0);
        EXPECT_GE(ms, 0);
    };
    ftp.Ontransferfinished = [&](TLowFTP*, int32_t n, int32_t) { finishedBytes = n; };
    ftp.Onctlsockconnect = [&](TLowFTP*) { ++connects; };
    ftp.OnCtlsockClose = [&](TLowFTP*) { ++closes; };

    EXPECT_EQ(ftp.Setup("127.0.0.1", "", 21), 100);
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 230);
    EXPECT_TRUE(Has("230 Connect success"));
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(ftp.ModeChangeToASCII(), 200);
    EXPECT_TRUE(Has("200 DoCommand success"));
    // The first piece fails; the others still change.
    EXPECT_EQ(ftp.ChangeDirPath("missing\\b\\c"), 250);
    EXPECT_EQ(Count([](const AnsiString& l) { return StartsWith(l, "550 "); }), 1);
    EXPECT_EQ(Count([](const AnsiString& l) { return l == "250 ChangeDir success"; }), 2);
    EXPECT_EQ(ftp.ChangeDirPath("\\\\"), 0);

    // The code is that of the STOR reply (125 or 150), once the completion said 226.
    int code = ftp.Upload(page.string(), "index.html");
    EXPECT_TRUE(code == 125 || code == 150) << code;
    EXPECT_TRUE(Has(std::to_string(code) + " Upload success"));
    // An ASCII store: the server keeps its own line ends.
    EXPECT_TRUE(Slurp(Root() / "b" / "c" / "index.html") == LocalLineEnds(content));
    EXPECT_GT(progress, 0);
    EXPECT_EQ(finishedBytes, static_cast<int32_t>(content.size()));
    EXPECT_EQ(Count([&](const AnsiString& l) {
                  return StartsWith(l, "    Transfer End " + std::to_string(content.size()) +
                                           " Byte (") &&
                         EndsWith(l, "Byte/sec)");
              }),
              1);

    EXPECT_EQ(ftp.Disconnect(), 221);
    EXPECT_TRUE(Has("221 Disconnected"));
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(DebugLines(), 0);
    // Every kept line was delivered first, in the same order.
    ASSERT_GE(Delivered.size(), ftp.LogLines().size());
    EXPECT_TRUE(std::equal(ftp.LogLines().begin(), ftp.LogLines().end(),
                           Delivered.end() - static_cast<long>(ftp.LogLines().size())));
}

TEST_F(LowFtpReal, DebugModeAddsStampedLinesWithTheirBlanks) {
    ftp.debugmode = true;
    ftp.Setup("127.0.0.1", "", 0);
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 230);
    ftp.ModeChangeToASCII();
    ftp.ChangeDirPath("\\");
    fs::create_directories(Root() / "d");
    ftp.ChangeDirPath("d");
    ftp.Upload(Local("tiny.txt", "hi\r\n").string(), "tiny.txt");
    ftp.Disconnect();
    auto text = [](const AnsiString& l) {
        return StartsWith(l, "D*") ? l.substr(l.find(':') + 1) : AnsiString("-");
    };
    std::vector<AnsiString> debug;
    for (const AnsiString& l : Delivered)
        if (StartsWith(l, "D*")) debug.push_back(text(l));
    for (const char* expected :
         {"Connect Send ", "Connect End ", "ModeChange to ASCII", "ModeChange to ASCII End",
          "ChangeDir Send  d", "ChangeDir End  ", "Upload Send tiny.txt", "Upload End ",
          "Disconnect Send ", "Disconnect End  ", "TransactionStart Event",
          "TransactionStop Event"})
        EXPECT_NE(std::find(debug.begin(), debug.end(), expected), debug.end()) << expected;
    // Connect clears the kept lines before its first debug line.
    ASSERT_FALSE(ftp.LogLines().empty());
    EXPECT_EQ(ftp.LogLines().front().substr(ftp.LogLines().front().find(':') + 1), "Connect Send ");
    EXPECT_EQ(Slurp(Root() / "d" / "tiny.txt"), LocalLineEnds("hi\r\n"));
}

TEST_F(LowFtpReal, RefusedLoginAndRefusedStoreGiveTheServersCode) {
    ftp.Setup("127.0.0.1", "", 21);
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, "wrong"), 530);
    EXPECT_EQ(Count([](const AnsiString& l) { return StartsWith(l, "530 "); }), 1);
    ftp.Disconnect();
    // The same component logs in afterwards, and the log starts afresh.
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 230);
    EXPECT_EQ(Count([](const AnsiString& l) { return StartsWith(l, "530 "); }), 0);
    EXPECT_EQ(ftp.Upload(Local("x.txt", "x").string(), "nowhere/x.txt"), 550)
        << Joined(ftp.LogLines());
    // A local file that cannot be read is a failure without a reply code.
    EXPECT_EQ(ftp.Upload((local_.Path() / "absent.txt").string(), "y.txt"), 999);
    ftp.Disconnect();
}

TEST_F(LowFtpReal, UnreachableServerGives999) {
    TClosedPort closed;
    ASSERT_NE(closed.Port(), 0);
    ftp.Client().Port = closed.Port();
    ftp.WaitTimeout = 5000;
    ftp.Setup("127.0.0.1", "", 21);
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 999);
    ASSERT_FALSE(ftp.LogLines().empty());
    EXPECT_EQ(TLowFTP::CodeOf(ftp.LogLines().back()), 999);
    EXPECT_EQ(ftp.ModeChangeToASCII(), 999); // not connected
    ftp.Disconnect();
}

TEST_F(LowFtpReal, ProxyTakesTheSetupPortAndTheClientsPortIsLeftAlone) {
    TClosedPort closed;
    ASSERT_NE(closed.Port(), 0);
    ftp.WaitTimeout = 5000;
    ftp.Setup("127.0.0.1", "", 0);
    ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password);
    EXPECT_EQ(ftp.Client().Port, server_->Port());
    EXPECT_TRUE(ftp.Client().Proxy.empty());
    ftp.Disconnect();
    // Through a proxy that does not answer: its port is the one Setup gave.
    ftp.Setup("ftp.example.invalid", "127.0.0.1", closed.Port());
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 999);
    EXPECT_EQ(ftp.Client().Proxy, "127.0.0.1");
    EXPECT_EQ(ftp.Client().ProxyPort, closed.Port());
    EXPECT_EQ(ftp.Client().Host, "ftp.example.invalid");
    EXPECT_EQ(ftp.Client().TimeOut, 5000);
}

TEST_F(LowFtpReal, ServerThatNeverGreetsEndsWith999AfterTheTimeOut) {
    testsupport::TSilentListener hung;
    ASSERT_TRUE(hung.Ok());
    ftp.Client().Port = hung.Port();
    ftp.WaitTimeout = 1000;
    ftp.Setup("127.0.0.1", "", 21);
    EXPECT_EQ(ftp.Connect(TRealFtpServer::User, TRealFtpServer::Password), 999);
    ASSERT_FALSE(ftp.LogLines().empty());
    EXPECT_EQ(TLowFTP::CodeOf(ftp.LogLines().back()), 999);
    ftp.Disconnect();
}
