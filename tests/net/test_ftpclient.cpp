// The FTP client against a scripted server, for replies real servers do not
// give on demand, and its pure helpers.
#include "TScriptServer.h"
#include "net/EConvertError.h"
#include "net/ERangeError.h"
#include "net/FTPException.h"
#include "net/TFTPClient.h"
#include "platform/MessagePump.h"
#include "support/TempDir.h"

#include <QTimer>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using net::FTPException;
using net::TCmdType;
using net::TFTPClient;
using net::TPumpSocket;
using net::TTlsMode;
using nettest::TScriptServer;
using TConn = TScriptServer::TConn;

namespace {

void Login(TConn& c) {
    c.Send("220 ready\r\n");
    c.Expect(); // USER
    c.Send("331 password please\r\n");
    c.Expect(); // PASS
    c.Send("230 logged in\r\n");
}

// Answers QUIT when it comes.
void Quit(TConn& c) {
    if (c.Expect() == "QUIT") c.Send("221 bye\r\n");
}

struct TClientFixture : ::testing::Test {
    TFTPClient ftp;
    std::vector<std::string> status;
    std::vector<std::pair<std::string, int>> events; // name, type
    testsupport::TempDir dir;

    TClientFixture() {
        ftp.Host = "127.0.0.1";
        ftp.UserID = "user";
        ftp.Password = "secret";
        ftp.TimeOut = 10000;
        ftp.ReportLevel = 1;
        // These scripts speak the plain protocol; the TLS negotiation has tests of its own.
        ftp.TlsMode = net::TTlsMode::Never;
        ftp.OnStatus = [this](TPumpSocket*, const AnsiString& s) { status.push_back(s); };
        ftp.OnSuccess = [this](TPumpSocket*, TCmdType t) { events.emplace_back("success", t); };
        ftp.OnUnSupportedFunction = [this](TPumpSocket*, TCmdType t) {
            events.emplace_back("unsupported", t);
        };
    }
    std::string File(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    }
};

// After the login: PASV, STOR answered by `storReply`, the data connection
// accepted and returned.
int PassiveData(TConn& c, const std::string& storReply) {
    c.Expect(); // PASV
    int port = c.OpenPassive();
    c.Send("227 Entering Passive Mode (10,0,0,9," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ")\r\n");
    c.Expect(); // STOR
    c.Send(storReply);
    return c.AcceptPassive();
}

// A server for one passive upload; `completion` follows the data.
void PassiveStore(TConn& c, const std::string& storReply, const std::string& completion,
                  std::string* data, bool completionFirst = false) {
    Login(c);
    int fd = PassiveData(c, storReply);
    if (completionFirst) c.Send(completion);
    *data = TConn::ReadAll(fd);
    ::close(fd);
    if (!completionFirst) c.Send(completion);
    Quit(c);
}

} // namespace

TEST(FtpHelpers, ExtractFieldClassifyAndPasvPort) {
    EXPECT_EQ(TFTPClient::ExtractField("a,b,,c", ',', 1), "a");
    EXPECT_EQ(TFTPClient::ExtractField("a,b,,c", ',', 3), "");
    EXPECT_EQ(TFTPClient::ExtractField("a,b,,c", ',', 4), "c");
    EXPECT_EQ(TFTPClient::ExtractField("a,b", ',', 7), "");
    EXPECT_EQ(TFTPClient::ExtractField("", ',', 1), "");
    EXPECT_EQ(TFTPClient::Classify("CWD pub"), net::ctChangeDir);
    EXPECT_EQ(TFTPClient::Classify("cwd pub"), net::ctDoCommand);
    EXPECT_EQ(TFTPClient::Classify("MKD x"), net::ctMakeDir);
    EXPECT_EQ(TFTPClient::Classify("DELE x"), net::ctDelete);
    EXPECT_EQ(TFTPClient::Classify("RMD x"), net::ctRemoveDir);
    EXPECT_EQ(TFTPClient::Classify("PWD"), net::ctPrintDir);
    EXPECT_EQ(TFTPClient::Classify("PWD "), net::ctDoCommand);
    EXPECT_EQ(TFTPClient::Classify("CWD"), net::ctChangeDir);
    EXPECT_EQ(TFTPClient::PasvPort("227 Entering Passive Mode (10,0,0,9,4,1)\r\n"), 1025);
    EXPECT_THROW(TFTPClient::PasvPort("227 Entering Passive Mode (10,0,0,9,4,1\r\n"),
                 net::EConvertError);
    EXPECT_THROW(TFTPClient::PasvPort("227 (127,0,0,1,256,0)\r\n"), net::ERangeError);
    EXPECT_THROW(TFTPClient::PasvPort("227 (127,0,0,1,-1,5)\r\n"), net::ERangeError);
    EXPECT_THROW(TFTPClient::PasvPort("227 (127,0,0,1,99999999999,5)\r\n"), net::EConvertError);
    EXPECT_THROW(TFTPClient::PasvPort("227 ok"), net::EConvertError);
}

TEST_F(TClientFixture, User400IsNoFailureAndPasswordIsSkipped) {
    TScriptServer server([](TConn& c) {
        c.Send("220 ready\r\n");
        c.Expect();
        c.Send("400 odd but fine\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    int connects = 0;
    ftp.OnConnect = [&](TPumpSocket*) { ++connects; };
    ftp.Connect();
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(ftp.ReplyNumber(), 400);
    ftp.Connect(); // already connected: nothing at all
    EXPECT_EQ(connects, 1);
    ftp.Disconnect();
    server.Join();
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER user", "QUIT"}));
    EXPECT_EQ(status.front(), "220 ready\r\n");
    EXPECT_EQ(status[1], "USER user");
    EXPECT_EQ(ftp.Vendor, 2411);
}

TEST_F(TClientFixture, Reply502GoesToUnsupportedThenFailureOrException) {
    TScriptServer server([](TConn& c) {
        Login(c);
        c.Expect();
        c.Send("502 not implemented\r\n");
        c.Expect();
        c.Send("502 still not\r\n");
        c.Expect();
        c.Send("400 exactly 400\r\n");
        c.Expect();
        c.Send("257 \"/\"\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Connect();
    try {
        ftp.DoCommand("SITE X");
        FAIL();
    } catch (const FTPException& e) {
        EXPECT_STREQ(e.what(), "502 not implemented\r\n");
    }
    std::vector<int> failures;
    ftp.OnFailure = [&](TPumpSocket*, bool& handled, TCmdType t) {
        failures.push_back(t);
        handled = true;
    };
    ftp.DoCommand("MKD x");
    ftp.DoCommand("SITE Y"); // 400 counts as a failure here
    ftp.DoCommand("PWD");
    EXPECT_EQ(failures, (std::vector<int>{net::ctMakeDir, net::ctDoCommand}));
    std::vector<std::pair<std::string, int>> want = {{"unsupported", net::ctDoCommand},
                                                     {"unsupported", net::ctMakeDir},
                                                     {"success", net::ctPrintDir}};
    EXPECT_EQ(events, want);
    ftp.Disconnect();
}

TEST_F(TClientFixture, MultiLineRepliesSplitAcrossReadsAndEndedByLf) {
    TScriptServer server([](TConn& c) {
        c.Send("220-first\n220-sec");
        c.Expect(); // the client is still waiting; this never comes before the end
    });
    // The greeting's end arrives late, in pieces; a blank-led line continues.
    TScriptServer server2([](TConn& c) {
        c.Send("220-Welcome\n");
        c.Send("free text inside the block\r\n 220 indented\n");
        c.Send("220-still\r\n220");
        c.Send(" done\n");
        c.Expect(); // USER
        c.Send("230-ok\r\n230 in\r\n");
        c.Expect(); // TYPE A
        c.Send("200-a\n");
        c.Send("200 b\n");
        Quit(c);
    });
    ftp.Port = server2.Port();
    ftp.Connect();
    EXPECT_EQ(ftp.ReplyNumber(), 230);
    ftp.Mode(1);
    EXPECT_EQ(ftp.ReplyString(), "200-a\n");
    EXPECT_EQ(ftp.ReplyNumber(), 200);
    ftp.Mode(0);
    ftp.Mode(4);
    ftp.Disconnect();
    server2.Join();
    EXPECT_EQ(server2.Commands(), (std::vector<std::string>{"USER user", "TYPE A", "QUIT"}));
    EXPECT_EQ(events, (std::vector<std::pair<std::string, int>>{{"success", net::ctDoCommand}}));
    std::vector<std::string> want = {"220-Welcome\n",   "free text inside the block\r\n",
                                     " 220 indented\n", "220-still\r\n",
                                     "220 done\n",      "USER user",
                                     "230-ok\r\n",      "230 in\r\n",
                                     "TYPE A",          "200-a\n",
                                     "200 b\n",         "QUIT",
                                     "221 bye\r\n"};
    EXPECT_EQ(status, want);
    ftp.Port = server.Port(); // leave the first server satisfied
    ftp.TimeOut = 200;
    EXPECT_THROW(ftp.Connect(), net::ESockError);
}

TEST_F(TClientFixture, WrongPasswordClosesAndRaises) {
    TScriptServer server([](TConn& c) {
        c.Send("220 ready\r\n");
        c.Expect();
        c.Send("331 password\r\n");
        c.Expect();
        c.Send("530-Login incorrect.\r\n530 Bye\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    int failed = 0;
    ftp.OnConnectionFailed = [&](TPumpSocket*) { ++failed; };
    try {
        ftp.Connect();
        FAIL();
    } catch (const FTPException& e) {
        // A multi-line reply keeps its code in front: "530-" reads "530 ".
        EXPECT_STREQ(e.what(), "530 Login incorrect.\r\n530 Bye\r\n");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(status.back(), "Disconnected");
    EXPECT_EQ(std::count(status.begin(), status.end(), "PASS "), 1);
    server.Join();
    EXPECT_EQ(server.Commands().back(), "QUIT");
    // Afterwards nothing works without a connection.
    EXPECT_THROW(ftp.DoCommand("NOOP"), platform::Exception);
    ftp.Disconnect(); // not connected: sends nothing
}

TEST_F(TClientFixture, ProxyVariants) {
    struct TCase {
        net::TFirewallType type;
        std::vector<std::string> commands;
    };
    for (const TCase& k :
         {TCase{net::FTUser, {"USER user@ftp.example", "PASS secret", "QUIT"}},
          TCase{net::FtOpen, {"OPEN ftp.example", "USER user", "PASS secret", "QUIT"}},
          TCase{net::FtSite, {"SITE ftp.example", "USER user", "PASS secret", "QUIT"}}}) {
        bool proxyStep = k.type != net::FTUser;
        TScriptServer server([proxyStep](TConn& c) {
            c.Send("220 proxy\r\n");
            if (proxyStep) {
                c.Expect();
                c.Send("530 proxy steps are not judged\r\n");
            }
            c.Expect();
            c.Send("331 pw\r\n");
            c.Expect();
            c.Send("230 in\r\n");
            Quit(c);
        });
        TFTPClient f;
        f.Host = "ftp.example"; // never resolved: the proxy is reached instead
        f.Proxy = "127.0.0.1";
        f.ProxyPort = server.Port();
        f.FirewallType = k.type;
        f.TlsMode = TTlsMode::Never;
        f.UserID = "user";
        f.Password = "secret";
        f.Connect();
        EXPECT_TRUE(f.Connected());
        f.Disconnect();
        server.Join();
        EXPECT_EQ(server.Commands(), k.commands) << k.type;
    }
}

TEST_F(TClientFixture, FirewallLoginAndAuthenticationHandler) {
    TScriptServer server([](TConn& c) {
        c.Send("220 fw\r\n");
        c.Expect();
        c.Send("331 fw password\r\n");
        c.Expect();
        c.Send("230 fw ok\r\n");
        c.Expect();
        c.Send("230 no password needed\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.FWAuthenticate = true;
    ftp.FWUserID = "wall";
    ftp.FWPassword = "fire";
    ftp.Password = "";
    int asked = 0;
    ftp.OnAuthenticationNeeded = [&](TPumpSocket*, bool&) { ++asked; };
    ftp.Connect();
    ftp.Disconnect();
    server.Join();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"USER wall", "PASS fire", "USER user", "QUIT"}));
}

TEST_F(TClientFixture, PositiveCompletionIsSuccessAndTheStoreCodeIsReported) {
    std::string content = "<html>page</html>\r\n";
    std::string local = File("page.html", content);
    for (const char* storReply : {"150 go\r\n", "125 already open\r\n"}) {
        std::string received;
        TScriptServer server(
            [&](TConn& c) { PassiveStore(c, storReply, "226 Transfer complete\r\n", &received); });
        events.clear();
        status.clear();
        ftp.Port = server.Port();
        ftp.Passive = true;
        ftp.Connect();
        int starts = 0, stops = 0;
        ftp.OnTransactionStart = [&](TPumpSocket* s) {
            EXPECT_EQ(s, &ftp);
            EXPECT_NE(ftp.DataSocket(), nullptr);
            ++starts;
        };
        ftp.OnTransactionStop = [&](TPumpSocket*) { ++stops; };
        ftp.Upload(local, "");
        EXPECT_EQ(ftp.ReplyNumber(), std::atoi(storReply));
        EXPECT_EQ(ftp.DataSocket(), nullptr);
        EXPECT_EQ(ftp.BytesTotal(), content.size());
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(stops, 1);
        ftp.Disconnect();
        server.Join();
        EXPECT_EQ(received, content);
        auto cmds = server.Commands();
        EXPECT_EQ(cmds[3], "STOR page.html");
        // The full local name is what the log shows.
        EXPECT_NE(std::find(status.begin(), status.end(), "STOR " + local), status.end());
        EXPECT_NE(std::find(status.begin(), status.end(), "226 Transfer complete\r\n"),
                  status.end());
        EXPECT_EQ(events.back(), (std::pair<std::string, int>{"success", net::ctUpload}));
    }
}

// A full disk, a quota or a broken transfer shows only in the reply after
// the data: it fails the store with the server's code.
TEST_F(TClientFixture, RefusingCompletionFailsWithTheServersReply) {
    std::string content(3000, 'p'); // fits into the socket buffers at once
    std::string local = File("page.html", content);
    for (std::string completion :
         {"450 File unavailable\r\n", "451 Transfer aborted\r\n", "452 Disk full\r\n",
          "426 Connection closed; transfer aborted.\r\n", "552 Quota exceeded\r\n",
          "451-Error writing file\r\n451 No space left on device\r\n",
          "150 still busy\r\n451 Transfer aborted\r\n"}) {
        std::string received;
        TScriptServer server(
            [&](TConn& c) { PassiveStore(c, "150 go\r\n", completion, &received); });
        events.clear();
        ftp.Port = server.Port();
        ftp.Passive = true;
        ftp.Connect();
        // The code of the reply's last line (that of a preliminary one is passed over).
        const size_t last = completion.rfind('\n', completion.size() - 2);
        const std::string code = completion.substr(last == std::string::npos ? 0 : last + 1, 3);
        try {
            ftp.Upload(local, "page.html");
            ADD_FAILURE() << "counted as success: " << completion;
        } catch (const FTPException& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, 4), code + " ") << e.what();
        }
        EXPECT_EQ(ftp.ReplyNumber(), std::stoi(code)) << completion;
        EXPECT_TRUE(events.empty()) << completion; // no OnSuccess
        EXPECT_EQ(ftp.DataSocket(), nullptr);
        EXPECT_TRUE(ftp.Connected()); // the next command may go out
        ftp.Disconnect();
        server.Join();
        EXPECT_EQ(received, content);
        EXPECT_EQ(server.Commands().back(), "QUIT") << completion;
    }
}

TEST_F(TClientFixture, NoCompletionReplyIsAFailure) {
    std::string local = File("page.html", "page");
    std::string received;
    // The server closes the control connection after the data.
    TScriptServer closes([&](TConn& c) {
        Login(c);
        int fd = PassiveData(c, "150 go\r\n");
        received = TConn::ReadAll(fd);
        ::close(fd);
    });
    ftp.Port = closes.Port();
    ftp.Passive = true;
    ftp.Connect();
    try {
        ftp.Upload(local, "");
        FAIL();
    } catch (const net::ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection closed by server");
    }
    EXPECT_FALSE(ftp.Connected());
    closes.Join();
    EXPECT_EQ(received, "page");

    // Silence after the data: the time-out ends the wait.
    TScriptServer silent([&](TConn& c) {
        Login(c);
        int fd = PassiveData(c, "150 go\r\n");
        received = TConn::ReadAll(fd);
        ::close(fd);
        c.ReadLine(); // whatever comes next is never answered
    });
    ftp.Port = silent.Port();
    ftp.TimeOut = 500;
    ftp.Connect();
    EXPECT_THROW(ftp.Upload(local, ""), net::EAbortError);
    EXPECT_TRUE(events.empty() ||
                events.back() != (std::pair<std::string, int>{"success", net::ctUpload}));
    ftp.Disconnect(); // its QUIT is the line the script waits for
}

// The server breaks the data connection off after a few bytes, when the
// whole page has long gone into the socket buffers.
TEST_F(TClientFixture, ResetDataConnectionIsAFailure) {
    std::string local = File("page.html", std::string(3000, 'r'));
    for (std::string completion : {"226 Transfer complete\r\n", "426 Connection reset\r\n"}) {
        TScriptServer server([&](TConn& c) {
            Login(c);
            int fd = PassiveData(c, "150 go\r\n");
            char few[5];
            ::recv(fd, few, sizeof few, MSG_WAITALL);
            ::usleep(100000); // the rest has arrived and stays unread
            linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
            c.Send(completion);
            Quit(c);
        });
        events.clear();
        ftp.Port = server.Port();
        ftp.Passive = true;
        ftp.Connect();
        try {
            ftp.Upload(local, "");
            ADD_FAILURE() << "counted as success with " << completion;
        } catch (const FTPException& e) {
            // The server's own word wins when it has one.
            EXPECT_EQ(completion.substr(0, 3), "426");
            EXPECT_EQ(std::string(e.what()), completion);
        } catch (const net::ESockError& e) {
            EXPECT_EQ(completion.substr(0, 3), "226");
            EXPECT_STREQ(e.what(), "10054:Connection reset by peer");
        }
        EXPECT_TRUE(events.empty());
        EXPECT_TRUE(ftp.Connected());
        ftp.Disconnect();
    }
}

// Active mode: the server says no while the client waits for it to connect.
TEST_F(TClientFixture, RefusalEndsTheWaitForTheDataConnectionAtOnce) {
    std::string local = File("page.html", "page");
    for (const char* refusal : {"150 opening\r\n425 Cannot open data connection.\r\n",
                                "425 Cannot open data connection.\r\n"}) {
        TScriptServer server([&](TConn& c) {
            Login(c);
            c.Expect(); // PORT
            c.Send("200 PORT ok\r\n");
            c.Expect(); // STOR
            std::string r = refusal;
            size_t split = r.find('\n') + 1;
            c.Send(r.substr(0, split));
            if (split < r.size()) {
                ::usleep(100000); // the client is waiting in accept by now
                c.Send(r.substr(split));
            }
            c.Expect();
            c.Send("200 still here\r\n");
            Quit(c);
        });
        // Waiting out this time-out would end as "Accepting Canceled", not 425.
        ftp.TimeOut = 30000;
        ftp.Port = server.Port();
        ftp.Connect();
        try {
            ftp.Upload(local, "");
            ADD_FAILURE() << "counted as success";
        } catch (const FTPException& e) {
            EXPECT_STREQ(e.what(), "425 Cannot open data connection.\r\n");
        }
        EXPECT_EQ(ftp.ReplyNumber(), 425);
        EXPECT_EQ(ftp.DataSocket(), nullptr);
        ftp.DoCommand("NOOP"); // the refusal was taken: replies are in step
        EXPECT_EQ(ftp.ReplyNumber(), 200);
        ftp.Disconnect();
    }
}

TEST_F(TClientFixture, CompletionBeforeDataCloseAndActiveMode) {
    std::string content(200000, 'q');
    std::string local = File("big.bin", content);
    std::string received, portArg;
    TScriptServer server([&](TConn& c) {
        Login(c);
        std::string port = c.Expect();
        portArg = port.substr(5);
        c.Send("200 PORT ok\r\n");
        c.Expect(); // APPE
        c.Send("150 opening\r\n");
        int fd = c.ConnectActive(portArg);
        c.Send("226 done before the data\r\n");
        received = TConn::ReadAll(fd);
        ::close(fd);
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Connect();
    uint32_t lastCount = 0;
    int packets = 0;
    ftp.OnPacketSent = [&](TPumpSocket* s) {
        EXPECT_EQ(s, ftp.DataSocket());
        lastCount = ftp.BytesSent();
        ++packets;
    };
    ftp.UploadAppend(local, "remote.bin");
    EXPECT_EQ(ftp.ReplyNumber(), 150);
    EXPECT_EQ(lastCount, content.size());
    EXPECT_GE(packets, 1);
    ftp.Disconnect();
    server.Join();
    EXPECT_EQ(received.size(), content.size());
    EXPECT_EQ(portArg.rfind("127,0,0,1,", 0), 0u);
    EXPECT_EQ(server.Commands()[3], "APPE remote.bin");
    EXPECT_EQ(events.back(), (std::pair<std::string, int>{"success", net::ctUploadAppend}));
}

TEST_F(TClientFixture, MalformedPasvFailsAndLeavesControlUsable) {
    std::string local = File("a.txt", "a");
    TScriptServer server([](TConn& c) {
        Login(c);
        c.Expect();
        c.Send("227 Entering Passive Mode (127,0,0,1,4,1\r\n");
        c.Expect();
        c.Send("227 Entering Passive Mode (127,0,0,1,300,1)\r\n");
        c.Expect();
        c.Send("200 still here\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Passive = true;
    ftp.Connect();
    EXPECT_THROW(ftp.Upload(local, "a.txt"), net::EConvertError);
    EXPECT_THROW(ftp.Upload(local, "a.txt"), net::ERangeError);
    EXPECT_EQ(ftp.DataSocket(), nullptr);
    ftp.DoCommand("NOOP");
    EXPECT_EQ(ftp.ReplyNumber(), 200);
    ftp.Disconnect();
}

TEST_F(TClientFixture, UploadFailureIsOfferedTwiceAppendOnce) {
    std::string local = File("a.txt", "a");
    TScriptServer server([](TConn& c) {
        Login(c);
        for (int i = 0; i < 2; ++i) {
            c.Expect(); // PASV
            int port = c.OpenPassive();
            c.Send("227 (127,0,0,1," + std::to_string(port / 256) + "," +
                   std::to_string(port % 256) + ")\r\n");
            c.Expect(); // STOR / APPE
            c.Send("553 not allowed\r\n");
            int fd = c.AcceptPassive();
            ::close(fd);
        }
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Passive = true;
    ftp.Connect();
    std::vector<int> offers;
    ftp.OnFailure = [&](TPumpSocket*, bool&, TCmdType t) { offers.push_back(t); };
    EXPECT_THROW(ftp.Upload(local, ""), FTPException);
    EXPECT_EQ(offers, (std::vector<int>{net::ctUpload, net::ctUpload}));
    offers.clear();
    EXPECT_THROW(ftp.UploadAppend(local, ""), FTPException);
    EXPECT_EQ(offers, (std::vector<int>{net::ctUploadAppend}));
    EXPECT_TRUE(ftp.TransferLock.try_lock()); // released again
    ftp.TransferLock.unlock();
    ftp.Disconnect();
}

TEST_F(TClientFixture, ServerClosingMidReplyOrSendingHugeLine) {
    TScriptServer server([](TConn& c) {
        Login(c);
        c.Expect();
        c.Send("250-partial reply");
    });
    ftp.Port = server.Port();
    ftp.Connect();
    EXPECT_THROW(ftp.ChangeDir("x"), net::ESockError);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_TRUE(events.empty()); // never reported as success

    TScriptServer huge([](TConn& c) {
        c.Send("220-" + std::string(70000, 'x') + "\r\n220 ok\r\n");
        c.ReadLine();
    });
    ftp.Port = huge.Port();
    EXPECT_THROW(ftp.Connect(), net::ESockError);
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TClientFixture, SilentServerEndsEveryWaitWithTimeOut) {
    TScriptServer silent([](TConn& c) { c.ReadLine(), c.ReadLine(), c.ReadLine(); });
    ftp.Port = silent.Port();
    ftp.TimeOut = 300;
    EXPECT_THROW(ftp.Connect(), net::EAbortError);
    EXPECT_FALSE(ftp.Connected());

    // Logged in, then silent after STOR in active mode: the server never
    // connects back.
    std::string local = File("a.txt", "a");
    TScriptServer stalls([](TConn& c) {
        Login(c);
        c.Expect(); // PORT
        c.Send("200 ok\r\n");
        c.Expect(); // STOR
        c.Send("150 go\r\n");
        for (int i = 0; i < 3; ++i)
            c.ReadLine();
    });
    ftp.Port = stalls.Port();
    ftp.Connect();
    try {
        ftp.Upload(local, "");
        FAIL();
    } catch (const net::ESockError& e) {
        EXPECT_STREQ(e.what(), "Accepting Canceled");
    }
    EXPECT_EQ(ftp.DataSocket(), nullptr);
    // And a command whose reply never comes.
    EXPECT_THROW(ftp.DoCommand("NOOP"), net::EAbortError);
    EXPECT_THROW(ftp.Disconnect(), net::EAbortError); // QUIT is not answered either
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TClientFixture, AbortFromHandlerCancelsTheDataConnection) {
    std::string local = File("big.bin", std::string(8 << 20, 'z'));
    TScriptServer server([](TConn& c) {
        Login(c);
        c.Expect();
        int port = c.OpenPassive();
        c.Send("227 (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
               ")\r\n");
        c.Expect();
        c.Send("150 go\r\n");
        int fd = c.AcceptPassive();
        TConn::ReadAll(fd);
        ::close(fd);
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Passive = true;
    ftp.Connect();
    ftp.OnPacketSent = [&](TPumpSocket*) {
        if (ftp.BytesSent() > (1 << 20)) ftp.Abort();
    };
    try {
        ftp.Upload(local, "");
        FAIL();
    } catch (const net::EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket send aborted");
    }
    EXPECT_TRUE(ftp.Connected());
    ftp.Disconnect();
}

TEST_F(TClientFixture, NoDescriptorLeaksAfterFailures) {
    std::string local = File("a.txt", "abc");
    auto once = [&] {
        TScriptServer server([](TConn& c) {
            Login(c);
            c.Expect();
            c.Send("227 (127,0,0,1,1,2\r\n");
            c.Expect();
            c.Send("200 PORT\r\n");
            c.Expect();
            c.Send("550 no\r\n");
            c.Expect();
            c.Send("530 gone\r\n");
        });
        TFTPClient f;
        f.Host = "127.0.0.1";
        f.Port = server.Port();
        f.UserID = "u";
        f.Password = "p";
        f.TimeOut = 5000;
        f.Connect();
        f.Passive = true;
        EXPECT_THROW(f.Upload(local, ""), net::EConvertError);
        f.Passive = false;
        EXPECT_THROW(f.Upload(local, ""), FTPException);
        EXPECT_THROW(f.Upload((dir / "missing").string(), ""), platform::Exception);
        EXPECT_THROW(f.Disconnect(), FTPException);
    };
    once(); // warm-up: lazily opened descriptors of the event loop
    platform::ProcessMessages();
    int before = nettest::OpenFdCount();
    for (int i = 0; i < 5; ++i)
        once();
    platform::ProcessMessages();
    EXPECT_EQ(nettest::OpenFdCount(), before);
}

TEST_F(TClientFixture, HandledPortFailureEndsUploadQuietly) {
    std::string local = File("a.txt", "a");
    TScriptServer server([](TConn& c) {
        Login(c);
        c.Expect(); // PORT
        c.Send("500 PORT refused\r\n");
        Quit(c);
    });
    ftp.Port = server.Port();
    ftp.Connect();
    int offers = 0;
    ftp.OnFailure = [&](TPumpSocket*, bool& handled, TCmdType t) {
        EXPECT_EQ(t, net::ctUpload);
        ++offers;
        handled = true;
    };
    ftp.Upload(local, "");
    EXPECT_EQ(offers, 1);
    EXPECT_EQ(ftp.ReplyNumber(), 500);
    EXPECT_EQ(ftp.DataSocket(), nullptr);
    EXPECT_TRUE(events.empty()); // no OnSuccess
    ftp.Disconnect();
    server.Join();
    EXPECT_EQ(server.Commands().size(), 4u); // USER, PASS, PORT, QUIT: no STOR
}

TEST(FtpClientLifetime, DestructionRaisesNoEvents) {
    int calls = 0;
    {
        TFTPClient f;
        f.ReportLevel = 8;
        f.OnStatus = [&](TPumpSocket*, const AnsiString&) { ++calls; };
        f.OnDisconnect = [&](TPumpSocket*) { ++calls; };
    }
    EXPECT_EQ(calls, 0);
}

// The negotiation of TLS with servers that misbehave on the way: whatever
// happens after AUTH TLS was accepted, nothing of the login is sent, in
// the clear or otherwise, and the connection is closed without a QUIT
// (the server expects TLS records by then).
TEST_F(TClientFixture, BrokenTlsNegotiationSendsNothingOfTheLogin) {
    // What the server does after its 234; it then reads all that follows.
    const std::vector<std::pair<const char*, std::function<void(TConn&)>>> servers = {
        {"plain text after 234", [](TConn& c) { c.Send("220 this is no TLS record at all\r\n"); }},
        {"closed after 234", [](TConn& c) { ::shutdown(c.Fd(), SHUT_WR); }},
        {"TLS record header with a huge length",
         [](TConn& c) { c.Send(std::string("\x16\x03\x03\xff\xff", 5) + std::string(300, 'A')); }},
    };
    for (TTlsMode mode : {TTlsMode::WhenOffered, TTlsMode::Required})
        for (const auto& [what, act] : servers) {
            std::string after;
            TScriptServer server([&, act = act](TConn& c) {
                c.Send("220 ready\r\n");
                c.Expect(); // AUTH TLS
                c.Send("234 go ahead\r\n");
                act(c);
                after = TConn::ReadAll(c.Fd());
            });
            ftp.Port = server.Port();
            ftp.TlsMode = mode;
            try {
                ftp.Connect();
                ADD_FAILURE() << what << ": logged in";
            } catch (const net::ETlsError& e) {
                EXPECT_EQ(e.Kind, net::TTlsFailure::Handshake) << what;
            }
            EXPECT_FALSE(ftp.Connected()) << what;
            server.Join();
            EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"}) << what;
            for (const char* word : {"USER", "PASS", "QUIT"})
                EXPECT_EQ(after.find(word), std::string::npos) << what << ": " << word;
        }
}

TEST_F(TClientFixture, RefusedAuthTlsDependsOnTheMode) {
    auto refuses = [](TConn& c) {
        c.Send("220 ready\r\n");
        c.Expect(); // AUTH TLS
        c.Send("500-AUTH not understood\r\n500 really not\r\n");
        if (c.Expect() == "QUIT") return c.Send("221 bye\r\n");
        c.Send("331 password please\r\n");
        c.Expect(); // PASS
        c.Send("230 logged in\r\n");
        Quit(c);
    };
    {
        ftp.TlsMode = TTlsMode::WhenOffered;
        TScriptServer server(refuses);
        ftp.Port = server.Port();
        ftp.Connect();
        EXPECT_EQ(ftp.Tls(), nullptr);
        EXPECT_FALSE(ftp.DataProtected());
        ftp.Disconnect();
        server.Join();
        EXPECT_EQ(server.Commands(),
                  (std::vector<std::string>{"AUTH TLS", "USER user", "PASS secret", "QUIT"}));
        EXPECT_EQ(std::count(status.begin(), status.end(),
                             "The server does not offer TLS (500-AUTH not understood): "
                             "continuing unencrypted"),
                  1);
    }
    {
        ftp.TlsMode = TTlsMode::Required;
        TScriptServer server(refuses);
        ftp.Port = server.Port();
        try {
            ftp.Connect();
            ADD_FAILURE() << "logged in";
        } catch (const net::ETlsError& e) {
            EXPECT_EQ(e.Kind, net::TTlsFailure::NotOffered);
            EXPECT_EQ(e.Message, "TLS is required, but the server refused AUTH TLS: "
                                 "500-AUTH not understood");
        }
        server.Join();
        EXPECT_EQ(server.Commands(), (std::vector<std::string>{"AUTH TLS", "QUIT"}));
    }
}

// A server that accepts AUTH TLS and then says nothing: the handshake ends
// at the time-out, and the event loop runs meanwhile.
TEST_F(TClientFixture, SilentServerAfterAuthTlsTimesOut) {
    TScriptServer server([](TConn& c) {
        c.Send("220 ready\r\n");
        c.Expect();
        c.Send("234 go ahead\r\n");
        TConn::ReadAll(c.Fd()); // until the client gives up
    });
    ftp.Port = server.Port();
    ftp.TlsMode = TTlsMode::Required;
    ftp.TimeOut = 500;
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(20);
    try {
        ftp.Connect();
        ADD_FAILURE() << "logged in";
    } catch (const net::ESockError& e) {
        EXPECT_STREQ(e.what(), "TLS handshake timed out");
    }
    EXPECT_GT(ticks, 5);
    EXPECT_FALSE(ftp.Connected());
}
