// The FTP client against real servers started by the test: pyftpdlib and
// pure-ftpd (which greets with several lines).
#include "TRealFtpServer.h"
#include "TScriptServer.h"
#include "TTmpfsMount.h"
#include "net/FTPException.h"
#include "net/TFTPClient.h"
#include "platform/MessagePump.h"
#include "support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using net::FTPException;
using net::TFTPClient;
using net::TPumpSocket;
using nettest::TRealFtpServer;

namespace {

std::string Slurp(const fs::path& p) {
    return testsupport::ReadWholeFile(p);
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

class RealServer : public ::testing::TestWithParam<TRealFtpServer::TKind> {
  protected:
    void SetUp() override {
        if (!TRealFtpServer::Available(GetParam()))
            GTEST_SKIP() << TRealFtpServer::Name(GetParam()) << " is not installed";
        fs::create_directories(root());
        server_ = std::make_unique<TRealFtpServer>(GetParam(), root());
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        ftp.Host = "127.0.0.1";
        ftp.Port = server_->Port();
        ftp.UserID = TRealFtpServer::User;
        ftp.Password = TRealFtpServer::Password;
        ftp.TimeOut = 30000;
    }
    fs::path root() const { return dir_ / "root"; }
    std::string Local(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }

    testsupport::TempDir dir_;
    std::unique_ptr<TRealFtpServer> server_;
    TFTPClient ftp;
};

} // namespace

TEST_P(RealServer, LoginCommandsAndDisconnect) {
    int connects = 0, disconnects = 0;
    ftp.OnConnect = [&](TPumpSocket*) { ++connects; };
    ftp.OnDisconnect = [&](TPumpSocket*) { ++disconnects; };
    ftp.Connect();
    EXPECT_TRUE(ftp.Connected());
    EXPECT_EQ(ftp.ReplyNumber(), 230);
    EXPECT_EQ(connects, 1);
    // The whole greeting was read: the next reply belongs to the next command.
    ftp.DoCommand("PWD");
    EXPECT_EQ(ftp.ReplyNumber(), 257);
    ftp.Mode(1);
    EXPECT_EQ(ftp.ReplyNumber(), 200);
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.ReplyNumber(), 221);
    EXPECT_EQ(disconnects, 1);
    ftp.Connect(); // the same instance logs in again
    EXPECT_EQ(ftp.ReplyNumber(), 230);
    ftp.Disconnect();
}

TEST_P(RealServer, WrongPasswordReachesCallerAs530) {
    ftp.Password = "wrong";
    int failed = 0;
    ftp.OnConnectionFailed = [&](TPumpSocket*) { ++failed; };
    try {
        ftp.Connect();
        FAIL() << "logged in with a wrong password";
    } catch (const FTPException& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 3), "530");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(ftp.Connected());
}

TEST_P(RealServer, NestedFoldersStoreAndAppendInBothModes) {
    fs::create_directories(root() / "a" / "b" / "c");
    // pure-ftpd writes as "nobody".
    for (const char* d : {"a", "a/b", "a/b/c"})
        fs::permissions(root() / d, fs::perms::all);
    std::string first = RandomBytes(300000, 1), second = RandomBytes(70001, 2);
    std::string f1 = Local("first.bin", first), f2 = Local("second.bin", second);
    int before = nettest::OpenFdCount();
    for (bool passive : {false, true}) {
        ftp.Passive = passive;
        ftp.Connect();
        for (const char* d : {"a", "b", "c"})
            ftp.ChangeDir(d);
        EXPECT_THROW(ftp.ChangeDir("missing"), FTPException);
        ftp.Mode(2);
        std::string name = passive ? "passive.bin" : "active.bin";
        ftp.Upload(f1, name);
        EXPECT_TRUE(Slurp(root() / "a/b/c" / name) == first);
        ftp.UploadAppend(f2, name);
        EXPECT_TRUE(Slurp(root() / "a/b/c" / name) == first + second);
        ftp.Upload(f2, ""); // the local file's own name
        EXPECT_TRUE(Slurp(root() / "a/b/c/second.bin") == second);
        ftp.Disconnect();
    }
    platform::ProcessMessages();
    EXPECT_EQ(nettest::OpenFdCount(), before);
}

TEST_P(RealServer, FiftyMegabytesArriveIntact) {
    std::string big = RandomBytes(50u << 20, 3);
    std::string local = Local("big.bin", big);
    for (bool passive : {false, true}) {
        ftp.Passive = passive;
        ftp.Connect();
        ftp.Mode(2);
        ftp.Upload(local, "big.bin");
        ftp.Disconnect();
        EXPECT_EQ(fs::file_size(root() / "big.bin"), big.size());
        EXPECT_TRUE(Slurp(root() / "big.bin") == big) << (passive ? "passive" : "active");
        fs::remove(root() / "big.bin");
    }
}

// A full disk: a page that fits the socket buffers and one that does not,
// in both modes. The server's refusal is what the caller gets, also when
// the server broke the data connection off while the page still went out.
TEST_P(RealServer, StoreToAFullDiskFailsWithTheServersCode) {
    const fs::path disk = dir_ / "disk";
    nettest::TTmpfsMount mount(disk, 64 * 1024);
    if (!mount.Why().empty()) GTEST_SKIP() << "no full disk to test with: " << mount.Why();
    TRealFtpServer server(GetParam(), disk); // after the mount, so that it sees it
    ASSERT_NE(server.Port(), 0) << server.Why();
    ftp.Port = server.Port();
    mount.Fill();
    const std::string small = Local("small.bin", RandomBytes(20000, 4));
    const std::string large = Local("large.bin", RandomBytes(4u << 20, 5));
    for (bool passive : {false, true})
        for (const std::string& local : {small, large}) {
            ftp.Passive = passive;
            ftp.Connect();
            ftp.Mode(2);
            int successes = 0;
            ftp.OnSuccess = [&](TPumpSocket*, net::TCmdType) { ++successes; };
            try {
                ftp.Upload(local, "page.bin");
                ADD_FAILURE() << "stored on a full disk: " << local;
            } catch (const FTPException& e) {
                const int code = std::atoi(e.what());
                EXPECT_TRUE(code >= 400 && code < 600) << e.what();
                EXPECT_EQ(ftp.ReplyNumber(), code);
            }
            EXPECT_EQ(successes, 0);
            ftp.OnSuccess = nullptr;
            EXPECT_TRUE(ftp.Connected()) << (passive ? "passive " : "active ") << local;
            ftp.Disconnect();
        }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         ::testing::Values(TRealFtpServer::TKind::PyFtpd,
                                           TRealFtpServer::TKind::PureFtpd),
                         [](const auto& info) { return TRealFtpServer::TestName(info.param); });
