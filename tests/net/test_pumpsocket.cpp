// The socket component on real loopback sockets, with a scripted peer.
#include "TScriptServer.h"
#include "net/ERangeError.h"
#include "net/SockErrorCodes.h"
#include "net/TPumpSocket.h"
#include "platform/ErrorHandler.h"
#include "platform/MessagePump.h"
#include "support/BoxCatcher.h"
#include "support/SilentListener.h"
#include "support/TempDir.h"

#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <netdb.h>

using net::EAbortError;
using net::ESockError;
using net::TPumpSocket;
using nettest::TScriptServer;

namespace {

// A port on 127.0.0.1 where nobody listens.
int ClosedPort() {
    TScriptServer probe([](TScriptServer::TConn&) {});
    int port = probe.Port();
    // Connect once so the probe's thread ends; the port is free afterwards.
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = port;
    s.Connect();
    return port;
}

void CancelLater(TPumpSocket& s, int ms) {
    QTimer::singleShot(ms, [&s] { s.Cancel(); });
}

} // namespace

TEST(SockErrors, TableTextsAndErrnoMapping) {
    TPumpSocket s;
    EXPECT_EQ(net::SockErrorTableSize(), 51);
    EXPECT_EQ(s.ErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(s.ErrorText(10035), "10035:Operation would block");
    EXPECT_EQ(s.ErrorText(10047), "10047:Address family not supported by protocol family");
    EXPECT_EQ(s.ErrorText(11003), "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP");
    EXPECT_EQ(s.ErrorText(0), "");
    EXPECT_EQ(s.ErrorText(10100), "Unknown Error No. 10100");
    EXPECT_EQ(net::SockErrorFromErrno(ECONNREFUSED), 10061u);
    EXPECT_EQ(net::SockErrorFromErrno(EWOULDBLOCK), 10035u);
    EXPECT_EQ(net::SockErrorFromErrno(ENOTCONN), 10057u);
    EXPECT_EQ(net::SockErrorFromErrno(ECONNRESET), 10054u);
    EXPECT_EQ(net::SockErrorFromLookup(EAI_NONAME, 0), 11001u);
    // An errno without a counterpart still counts as an error, with no text.
    EXPECT_GT(net::SockErrorFromErrno(EIO), 10000u);
    EXPECT_EQ(net::SockErrorTableText(net::SockErrorFromErrno(EIO)), nullptr);
}

TEST(PumpSocket, FreshInstanceStateAndWinsockInfo) {
    auto first = std::make_unique<TPumpSocket>();
    bool wasFirst = TPumpSocket::WinsockUsers() == 1;
    TPumpSocket second;
    EXPECT_TRUE(second.WinsockInfo().empty());
    if (wasFirst) {
        ASSERT_EQ(first->WinsockInfo().size(), 6u);
        EXPECT_EQ(first->WinsockInfo()[0], "Version= 1.1");
        EXPECT_EQ(first->WinsockInfo()[4].rfind("Max Sockets= ", 0), 0u);
    }
    EXPECT_FALSE(second.Connected());
    EXPECT_FALSE(second.Canceled());
    EXPECT_FALSE(second.TimedOut());
    EXPECT_NE(second.SocketHandle(), TPumpSocket::NoSocket);
    EXPECT_EQ(second.TimeOut, 0);
    EXPECT_EQ(second.Port, 0);
    EXPECT_FALSE(second.Timer().Enabled());
    int users = TPumpSocket::WinsockUsers();
    first.reset();
    EXPECT_EQ(TPumpSocket::WinsockUsers(), users - 1);
}

TEST(PumpSocket, ReportLevelFiltersStatusTexts) {
    TScriptServer server([](TScriptServer::TConn& c) { c.Send("220 hello\r\n"); });
    TPumpSocket s;
    std::vector<std::string> seen;
    s.OnStatus = [&](TPumpSocket*, const AnsiString& t) { seen.push_back(t); };
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    EXPECT_TRUE(seen.empty()); // level 0 reports nothing
    s.ReportLevel = 8;
    AnsiString line;
    s.ReadLn(line);
    EXPECT_EQ(line, "220 hello\r\n");
    std::vector<std::string> want = {"ReadLn", "Timer On", "Timer Off"};
    EXPECT_EQ(seen, want);
    seen.clear();
    s.ReportLevel = 4;
    s.Disconnect();
    EXPECT_EQ(seen, std::vector<std::string>{"Request Close Socket"});
    EXPECT_EQ(s.Status(), "Request Close Socket");
}

TEST(PumpSocket, ConnectByAddressAndByNameThenReconnectAfterClose) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Send("one\r\n");
        c.Expect();
    });
    TPumpSocket s;
    int resolved = 0, connects = 0, disconnects = 0;
    s.OnHostResolved = [&](TPumpSocket*) { ++resolved; };
    s.OnConnect = [&](TPumpSocket*) { ++connects; };
    s.OnDisconnect = [&](TPumpSocket*) { ++disconnects; };
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(resolved, 0); // a dotted address needs no lookup
    EXPECT_EQ(connects, 1);
    try {
        s.Connect();
        FAIL() << "second Connect";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Already connected");
    }
    EXPECT_TRUE(s.Connected());
    AnsiString line;
    s.ReadLn(line);
    EXPECT_EQ(line, "one\r\n");
    s.Writeln("bye");
    server.Join();
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(s.SocketHandle(), TPumpSocket::NoSocket);

    // The same instance connects again, this time by name.
    TScriptServer second([](TScriptServer::TConn& c) { c.Send("two\n"); });
    s.Host = "localhost";
    s.Port = second.Port();
    s.Connect();
    EXPECT_EQ(resolved, 1);
    s.ReadLn(line);
    EXPECT_EQ(line, "two\n");
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"bye"});
}

TEST(PumpSocket, UnknownHostOffersOnInvalidHostOnce) {
    TPumpSocket s;
    s.Host = "no-such-host.invalid";
    s.Port = 21;
    int offered = 0;
    s.OnInvalidHost = [&](TPumpSocket*, bool& handled) {
        ++offered;
        handled = true; // retry with the same name
    };
    try {
        s.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Null Remote Address");
    }
    EXPECT_EQ(offered, 1);
    EXPECT_THROW(s.ResolveHost(), ESockError); // "Host Lookup Failed"
}

TEST(PumpSocket, PortsOutsideTheirRangeAreRefusedBeforeConnecting) {
    TPumpSocket s;
    s.Host = "127.0.0.1";
    for (int port : {-1, 65536}) {
        s.Port = port;
        EXPECT_THROW(s.Connect(), net::ERangeError) << port;
    }
    s.Port = ClosedPort(); // in range: the connection itself is refused
    EXPECT_THROW(s.Connect(), ESockError);
}

TEST(PumpSocket, RefusedConnectAndTimedOutConnect) {
    TPumpSocket s;
    int failed = 0;
    s.OnConnectionFailed = [&](TPumpSocket*) { ++failed; };
    s.Host = "127.0.0.1";
    s.Port = ClosedPort();
    try {
        s.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection Failed");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(s.Connected());

    // A listener whose backlog is full never completes the handshake.
    testsupport::TSilentListener full(INADDR_LOOPBACK, 0, 0);
    ASSERT_TRUE(full.Ok());
    std::vector<std::unique_ptr<TPumpSocket>> fillers;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        auto f = std::make_unique<TPumpSocket>();
        f->Host = "127.0.0.1";
        f->Port = full.Port();
        f->TimeOut = 300;
        try {
            f->Connect();
        } catch (const ESockError& e) {
            EXPECT_STREQ(e.what(), "Connection Timed out");
            EXPECT_TRUE(f->TimedOut());
            timedOut = true;
        }
        fillers.push_back(std::move(f));
    }
    EXPECT_TRUE(timedOut);
}

TEST(PumpSocket, ReadLnTimesOutOnSilentPeer) {
    TScriptServer server([](TScriptServer::TConn& c) { c.Expect(); });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    s.TimeOut = 300;
    AnsiString line = "old";
    try {
        s.ReadLn(line);
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket readln aborted");
    }
    EXPECT_TRUE(s.TimedOut());
    EXPECT_FALSE(s.Canceled());
    EXPECT_FALSE(s.Timer().Armed());
    s.Writeln("done");
}

TEST(PumpSocket, ReadLnJoinsPiecesAndEndsEmptyWhenPeerCloses) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Send("23");
        c.Expect(); // the client asks for more only after the first piece
        c.Send("0-Wel");
        c.Send("come\r\nnext\nrest-without-end");
    });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    QTimer::singleShot(50, [&] { s.Writeln("go"); });
    AnsiString line;
    s.ReadLn(line);
    EXPECT_EQ(line, "230-Welcome\r\n");
    s.ReadLn(line);
    EXPECT_EQ(line, "next\n");
    s.ReadLn(line); // the peer closes in the middle of a line
    EXPECT_EQ(line, "");
    EXPECT_FALSE(s.Connected());
}

TEST(PumpSocket, TransactionTakesReplyNumber) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Expect();
        c.Send("230-Welcome\r\n");
        c.Expect();
        c.Send("no digits\r\n");
        c.Expect();
        c.Send("99999 too big\r\n");
    });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    AnsiString reply;
    s.Transaction("A", reply);
    EXPECT_EQ(reply, "230-Welcome\r\n");
    EXPECT_EQ(s.ReplyNumber(), 230);
    s.Transaction("B", reply);
    EXPECT_EQ(s.ReplyNumber(), 0);
    EXPECT_THROW(s.Transaction("C", reply), net::ERangeError);
}

TEST(PumpSocket, ReadCountWaitsForAllBytesOrClose) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Send("abc");
        c.Expect();
        c.Send("defgh");
        c.Expect();
        c.Send("xy");
    });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    QTimer::singleShot(30, [&] { s.Writeln("more"); });
    AnsiString text;
    s.Read(6, text);
    EXPECT_EQ(text, "abcdef");
    s.Read(0, text);
    EXPECT_EQ(text, "gh");
    QTimer::singleShot(30, [&] { s.Writeln("last"); });
    s.Read(10, text); // only two bytes come before the close
    EXPECT_EQ(text, "xy");
}

TEST(PumpSocket, CancelEndsReadAndAccept) {
    TScriptServer server([](TScriptServer::TConn& c) { c.Expect(); });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    CancelLater(s, 50);
    AnsiString text;
    try {
        s.Read(5, text);
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket send aborted");
    }
    EXPECT_FALSE(s.Canceled());
    s.Writeln("x");

    TPumpSocket listener;
    listener.BindAddress = "127.0.0.1";
    listener.Listen(true);
    CancelLater(listener, 50);
    try {
        listener.Accept();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Accepting Canceled");
    }
    EXPECT_TRUE(listener.Canceled());
}

TEST(PumpSocket, ListenAcceptAndSendFile) {
    testsupport::TempDir dir;
    std::string data;
    for (int i = 0; i < 300000; ++i)
        data += static_cast<char>(i * 7 + i / 256);
    {
        std::ofstream f(dir / "payload.bin", std::ios::binary);
        f << data;
    }
    TPumpSocket listener;
    listener.BindAddress = "127.0.0.1";
    listener.Listen(true);
    AnsiString portText = listener.LocalPortText();
    unsigned hi = 0, lo = 0;
    ASSERT_EQ(std::sscanf(portText.c_str(), ",%u,%u", &hi, &lo), 2);
    std::string received;
    std::thread peer([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(hi * 256 + lo));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            received = TScriptServer::TConn::ReadAll(fd);
        ::close(fd);
    });
    uint16_t h = listener.Accept();
    EXPECT_TRUE(listener.Connected());
    listener.ReplaceSocket(h);
    EXPECT_EQ(listener.LocalAddressText(), "127,0,0,1");
    int packets = 0;
    listener.OnPacketSent = [&](TPumpSocket*) { ++packets; };
    listener.SendFile((dir / "payload.bin").string());
    EXPECT_EQ(listener.BytesSent(), data.size());
    EXPECT_GE(packets, 5);
    listener.SetLinger(false);
    listener.RequestCloseSocket();
    peer.join();
    EXPECT_TRUE(received == data);
    EXPECT_THROW(listener.SendFile((dir / "missing").string()), platform::Exception);
}

TEST(PumpSocket, WriteStopsAtZeroByteAndRejectsLongText) {
    TScriptServer server([](TScriptServer::TConn& c) { c.Expect(); });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    EXPECT_THROW(s.Write(std::string(70000, 'a')), net::ERangeError);
    s.Write(std::string("abc\r\n\0def\r\n", 11));
    server.Join();
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"abc"});
}

TEST(PumpSocket, ServerCloseIsNoticedWhileIdle) {
    TScriptServer server([](TScriptServer::TConn&) {});
    TPumpSocket s;
    bool closed = false;
    s.OnDisconnect = [&](TPumpSocket*) { closed = true; };
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    server.Join();
    EXPECT_TRUE(platform::PumpUntil([&] { return closed; }, 10000));
    EXPECT_FALSE(s.Connected());
    EXPECT_THROW(s.CheckConnection(), platform::Exception);
}

TEST(PumpSocket, LineLongerThanBufferIsRefused) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Send(std::string(70000, 'x') + "\r\n");
        c.ReadLine();
    });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    AnsiString line;
    EXPECT_THROW(s.ReadLn(line), ESockError);
    EXPECT_FALSE(s.Connected());
}

TEST(PumpSocket, TimerRangeAndCheckError) {
    TPumpSocket s;
    s.TimeOut = -1;
    EXPECT_THROW(s.TimerOn(), net::ERangeError);
    s.TimeOut = 0;
    s.TimerOn();
    EXPECT_FALSE(s.Timer().Armed()); // 0 means no limit
    s.TimerOff();
    // A peek on an unconnected socket fails with "not connected".
    int errors = 0;
    s.OnError = [&](TPumpSocket*, uint16_t code, const AnsiString& text) {
        ++errors;
        EXPECT_EQ(code, 10057);
        EXPECT_EQ(text, "10057:Socket is not connected");
    };
    EXPECT_FALSE(s.DataAvailable());
    EXPECT_THROW(s.CheckError(10035), ESockError);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastErrorNo(), 10057u);
    EXPECT_EQ(s.CheckError(10057), "");
}

TEST(PumpSocket, NoDescriptorLeaksAfterFailures) {
    int port = ClosedPort();
    int before = nettest::OpenFdCount();
    for (int i = 0; i < 20; ++i) {
        TPumpSocket s;
        s.Host = "127.0.0.1";
        s.Port = port;
        EXPECT_THROW(s.Connect(), ESockError);
        TScriptServer server([](TScriptServer::TConn&) {});
        s.Port = server.Port();
        s.Connect();
        AnsiString line;
        s.ReadLn(line);
        EXPECT_EQ(line, "");
    }
    platform::ProcessMessages();
    EXPECT_EQ(nettest::OpenFdCount(), before);
}

TEST(ThreadTimer, RearmsOnChangesAndRoutesHandlerErrors) {
    net::TThreadTimer t;
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 1000u);
    EXPECT_FALSE(t.Armed()); // no handler yet
    testsupport::TBoxCatcher boxes;
    int fired = 0;
    t.SetInterval(20);
    t.SetOnTimer([&](net::TThreadTimer*) {
        if (++fired == 2) throw platform::Exception("boom");
    });
    EXPECT_TRUE(t.Armed());
    EXPECT_TRUE(platform::PumpUntil([&] { return fired >= 3; }, 10000)); // periodic
    ASSERT_FALSE(boxes.Boxes.empty());
    EXPECT_EQ(boxes.Boxes.back().Text, "boom");
    t.SetEnabled(false);
    EXPECT_FALSE(t.Armed());
    t.SetInterval(0);
    t.SetEnabled(true);
    EXPECT_FALSE(t.Armed()); // interval 0 never runs
}

TEST(PumpSocket, WindowsTakeInputDuringWaits) {
    TScriptServer server([](TScriptServer::TConn& c) {
        c.Expect();
        c.Send("late\r\n");
    });
    TPumpSocket s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.Connect();
    QLineEdit edit;
    edit.show();
    // Typed while the socket waits for its line; the line comes afterwards.
    QTimer::singleShot(20, [&] {
        QTest::keyClicks(&edit, "abc");
        s.Writeln("now");
    });
    AnsiString line;
    s.ReadLn(line);
    EXPECT_EQ(line, "late\r\n");
    EXPECT_EQ(edit.text(), "abc");
}

TEST(PumpSocket, CheckConnectionGivesOneChance) {
    TScriptServer server([](TScriptServer::TConn& c) { c.ReadLine(); });
    TPumpSocket s;
    EXPECT_THROW(s.CheckConnection(), platform::Exception); // no handler
    int asked = 0;
    s.OnConnectionRequired = [&](TPumpSocket*, bool& handled) {
        ++asked;
        handled = true; // claims success without connecting
    };
    EXPECT_THROW(s.CheckConnection(), platform::Exception);
    EXPECT_EQ(asked, 1);
    s.OnConnectionRequired = [&](TPumpSocket* sender, bool& handled) {
        sender->Host = "127.0.0.1";
        sender->Port = server.Port();
        sender->Connect();
        handled = true;
    };
    s.CheckConnection();
    EXPECT_TRUE(s.Connected());
}
