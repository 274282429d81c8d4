// The FTP client's explicit TLS against real servers started by the test
// (pyftpdlib and pure-ftpd) with certificates from a test authority that the
// test trusts through SSL_CERT_FILE. Every server listens on a loopback
// address of its own, and a capture on lo shows what an observer on the
// path would have read.
#include "TRealFtpServer.h"
#include "TTlsLab.h"
#include "TTmpfsMount.h"
#include "net/FTPException.h"
#include "net/TFTPClient.h"
#include "net/TlsLink.h"
#include "support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using net::ETlsError;
using net::TFTPClient;
using net::TPumpSocket;
using net::TTlsFailure;
using net::TTlsMode;
using nettest::TRealFtpServer;
using TTls = TRealFtpServer::TTls;

namespace {

std::string Slurp(const fs::path& p) {
    return testsupport::ReadWholeFile(p);
}

bool Has(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

class TlsServer : public ::testing::TestWithParam<TRealFtpServer::TKind> {
  protected:
    void SetUp() override {
        if (!TRealFtpServer::Available(GetParam()))
            GTEST_SKIP() << TRealFtpServer::Name(GetParam()) << " is not installed";
        authority_ = std::make_unique<nettest::TTestAuthority>(dir_ / "ca");
        ASSERT_EQ(authority_->Why(), "");
        authority_->TrustOnlyThis();
        address_ = nettest::OwnLoopbackAddress(++serial_);
        fs::create_directories(root());
        // pure-ftpd writes as "nobody".
        fs::permissions(root(), fs::perms::all);
        ftp.Host = address_;
        ftp.UserID = TRealFtpServer::User;
        ftp.Password = TRealFtpServer::Password;
        ftp.TimeOut = 30000;
        ftp.ReportLevel = 8; // every status text, to look for the password in
        ftp.OnStatus = [this](TPumpSocket*, const AnsiString& line) { log_ += line + "\n"; };
    }

    void TearDown() override {
        if (HasFailure())
            std::cerr << "The client's log:\n" << log_ << "The server's events:\n" << Events();
    }

    // A server with `tls` on the test's address, its certificate made out
    // to `altNames` by `issuer` (the trusted authority by default).
    void Start(TTls tls, const std::string& altNames = {},
               nettest::TTestAuthority* issuer = nullptr, bool tls12 = false) {
        TRealFtpServer::TOptions options;
        options.Address = address_;
        options.Tls12 = tls12;
        options.Tls = tls;
        options.RequireReuse = true;
        options.Events = (dir_ / "events").string();
        if (tls != TTls::None) {
            nettest::TTestAuthority& ca = issuer ? *issuer : *authority_;
            options.CertFile =
                ca.Issue("server.pem", altNames.empty() ? "IP:" + address_ : altNames);
            ASSERT_NE(options.CertFile, "");
        }
        capture_ = std::make_unique<nettest::TLoopbackCapture>(address_);
        server_ = std::make_unique<TRealFtpServer>(GetParam(), root(), options);
        ASSERT_NE(server_->Port(), 0) << server_->Why();
        ftp.Port = server_->Port();
    }
    bool Py() const { return GetParam() == TRealFtpServer::TKind::PyFtpd; }
    fs::path root() const { return dir_ / "root"; }
    std::string Local(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }
    std::string Events() const { return Slurp(dir_ / "events"); }
    // What an observer saw; empty when no capture could be made here.
    std::string Seen() { return capture_ && capture_->Why().empty() ? capture_->Bytes() : ""; }
    bool Capturing() const { return capture_ && capture_->Why().empty(); }
    // The failure of a Connect that has to fail with a TLS error.
    TTlsFailure ConnectFailure(std::string* message = nullptr) {
        try {
            ftp.Connect();
        } catch (const ETlsError& e) {
            if (message) *message = e.Message;
            return e.Kind;
        }
        ADD_FAILURE() << "logged in";
        return TTlsFailure::None;
    }

    static inline int serial_ = 0;
    testsupport::TempDir dir_;
    std::unique_ptr<nettest::TTestAuthority> authority_;
    std::string address_;
    std::unique_ptr<nettest::TLoopbackCapture> capture_;
    std::unique_ptr<TRealFtpServer> server_;
    std::string log_;
    TFTPClient ftp;
};

const std::string PageText = "<p>address page 192.0.2.77:47624 PAGE-MARKER</p>\r\n";

} // namespace

// Required TLS in both data modes: the page arrives, every data connection
// resumes the control connection's session where the server hands out one
// (the pyftpdlib server refuses a data connection that does not, as vsftpd
// does; pure-ftpd gives no TLS 1.3 session to resume and takes new ones),
// and an observer reads neither the password, nor the login, nor the page.
TEST_P(TlsServer, RequiredUploadIsEncryptedEndToEnd) {
    Start(TTls::Required);
    ftp.TlsMode = TTlsMode::Required;
    const std::string page = Local("page.html", PageText);
    for (bool passive : {true, false}) {
        ftp.Passive = passive;
        ftp.Connect();
        ASSERT_NE(ftp.Tls(), nullptr);
        EXPECT_TRUE(ftp.DataProtected());
        ftp.Mode(2);
        ftp.Upload(page, "index.html");
        EXPECT_EQ(Slurp(root() / "index.html"), PageText) << (passive ? "passive" : "active");
        ftp.Upload(page, "second.html"); // a second data connection resumes as well
        EXPECT_EQ(Slurp(root() / "second.html"), PageText);
        ftp.Disconnect();
        fs::remove(root() / "index.html");
    }
    EXPECT_FALSE(Has(log_, TRealFtpServer::Password)) << log_;
    if (Py()) {
        EXPECT_TRUE(Has(log_, "Data connection: TLS, session resumed")) << log_;
        EXPECT_FALSE(Has(log_, "new session")) << log_;
        EXPECT_TRUE(Has(Events(), "data tls reused")) << Events();
        EXPECT_FALSE(Has(Events(), "data tls new")) << Events();
        EXPECT_FALSE(Has(Events(), "clear")) << Events();
    }
    if (!Capturing()) GTEST_SKIP() << "no capture: " << capture_->Why();
    const std::string seen = Seen();
    EXPECT_TRUE(Has(seen, "AUTH TLS")); // the capture does see this address
    for (const char* secret : {TRealFtpServer::Password, "PASS", "USER", "PAGE-MARKER", "STOR"})
        EXPECT_FALSE(Has(seen, secret)) << secret;
}

// TLS 1.2 resumes by the session's id, which the server names in the
// handshake itself rather than in a ticket after it.
TEST_P(TlsServer, Tls12DataConnectionsResumeTheSessionToo) {
    if (!Py()) GTEST_SKIP() << "the server's TLS version is set for pyftpdlib only";
    Start(TTls::Required, {}, nullptr, true);
    ftp.TlsMode = TTlsMode::Required;
    ftp.Passive = true;
    ftp.Connect();
    ASSERT_NE(ftp.Tls(), nullptr);
    EXPECT_TRUE(Has(log_, "TLS: TLSv1.2 ")) << log_;
    ftp.Mode(2);
    ftp.Upload(Local("page.html", PageText), "index.html");
    ftp.Upload(Local("page.html", PageText), "again.html");
    ftp.Disconnect();
    EXPECT_EQ(Slurp(root() / "again.html"), PageText);
    EXPECT_TRUE(Has(log_, "Data connection: TLS, session resumed")) << log_;
    EXPECT_FALSE(Has(Events(), "data tls new")) << Events();
}

// The same capture sees everything when the session runs in the clear: the
// check above is no capture that sees nothing.
TEST_P(TlsServer, WhenOfferedGoesOnInTheClearOnlyWhenTheServerHasNoTls) {
    Start(TTls::None);
    ftp.TlsMode = TTlsMode::WhenOffered;
    ftp.Passive = true;
    ftp.Connect();
    ftp.Mode(2);
    EXPECT_EQ(ftp.Tls(), nullptr);
    EXPECT_FALSE(ftp.DataProtected());
    ftp.Upload(Local("page.html", PageText), "index.html");
    ftp.Disconnect();
    EXPECT_EQ(Slurp(root() / "index.html"), PageText);
    EXPECT_TRUE(Has(log_, "The server does not offer TLS")) << log_;
    EXPECT_FALSE(Has(log_, TRealFtpServer::Password)) << log_;
    if (!Capturing()) GTEST_SKIP() << "no capture: " << capture_->Why();
    const std::string seen = Seen();
    EXPECT_TRUE(Has(seen, "AUTH TLS"));
    EXPECT_TRUE(Has(seen, std::string("PASS ") + TRealFtpServer::Password));
    EXPECT_TRUE(Has(seen, "PAGE-MARKER"));
}

TEST_P(TlsServer, RequiredRefusedByTheServerSendsNothingOfTheLogin) {
    Start(TTls::None);
    ftp.TlsMode = TTlsMode::Required;
    std::string message;
    EXPECT_EQ(ConnectFailure(&message), TTlsFailure::NotOffered);
    EXPECT_TRUE(Has(message, "refused AUTH TLS")) << message;
    EXPECT_FALSE(ftp.Connected());
    if (Py()) {
        EXPECT_FALSE(Has(Events(), "login")) << Events();
    }
    if (!Capturing()) GTEST_SKIP() << "no capture: " << capture_->Why();
    const std::string seen = Seen();
    EXPECT_TRUE(Has(seen, "AUTH TLS"));
    EXPECT_FALSE(Has(seen, "USER"));
    EXPECT_FALSE(Has(seen, "PASS"));
}

TEST_P(TlsServer, NeverSpeaksTlsEvenToAServerThatOffersIt) {
    Start(TTls::Offered);
    ftp.TlsMode = TTlsMode::Never;
    ftp.Connect();
    EXPECT_EQ(ftp.Tls(), nullptr);
    ftp.Disconnect();
    if (!Capturing()) GTEST_SKIP() << "no capture: " << capture_->Why();
    const std::string seen = Seen();
    EXPECT_FALSE(Has(seen, "AUTH"));
    EXPECT_TRUE(Has(seen, "USER user"));
}

// A certificate from an authority the client does not trust, and one from
// the trusted authority made out to another address: the session ends with
// an error that says which, under "when offered" too, and nothing of the
// login goes out in the clear afterwards.
TEST_P(TlsServer, CertificateThatDoesNotVerifyEndsTheSession) {
    nettest::TTestAuthority stranger(dir_ / "stranger", "stranger");
    ASSERT_EQ(stranger.Why(), "");
    Start(TTls::Offered, {}, &stranger);
    for (TTlsMode mode : {TTlsMode::WhenOffered, TTlsMode::Required}) {
        ftp.TlsMode = mode;
        std::string message;
        EXPECT_EQ(ConnectFailure(&message), TTlsFailure::Certificate);
        EXPECT_TRUE(Has(message, "could not be verified")) << message;
        EXPECT_FALSE(ftp.Connected());
    }
    ftp.TlsMode = TTlsMode::Never; // the same instance still works without TLS
    ftp.Connect();
    ftp.Disconnect();
    if (Py()) {
        EXPECT_TRUE(Has(Events(), "login clear"));
    }
}

TEST_P(TlsServer, CertificateForAnotherHostEndsTheSession) {
    Start(TTls::Offered, "IP:127.0.0.1,DNS:localhost");
    ftp.TlsMode = TTlsMode::WhenOffered;
    std::string message;
    EXPECT_EQ(ConnectFailure(&message), TTlsFailure::HostName);
    EXPECT_TRUE(Has(message, "not made out to " + address_)) << message;
    EXPECT_FALSE(ftp.Connected());
    if (Py()) {
        EXPECT_FALSE(Has(Events(), "login")) << Events();
    }
    if (!Capturing()) GTEST_SKIP() << "no capture: " << capture_->Why();
    EXPECT_FALSE(Has(Seen(), "PASS"));
}

// A full disk over TLS, in both data modes: never a success. pure-ftpd's
// refusal is what the caller gets; pyftpdlib's TLS data handler sends no
// reply at all for a write that failed, so there the wait for the reply
// ends at the time-out with the data connection's error.
TEST_P(TlsServer, FullDiskOverTlsFailsWithTheServersCode) {
    const fs::path disk = dir_ / "disk";
    nettest::TTmpfsMount mount(disk, 64 * 1024);
    if (!mount.Why().empty()) GTEST_SKIP() << "no full disk to test with: " << mount.Why();
    fs::permissions(disk, fs::perms::all);
    TRealFtpServer::TOptions options;
    options.Address = address_;
    options.Tls = TTls::Required;
    options.CertFile = authority_->Issue("server.pem", "IP:" + address_);
    TRealFtpServer server(GetParam(), disk, options);
    ASSERT_NE(server.Port(), 0) << server.Why();
    ftp.Port = server.Port();
    ftp.TlsMode = TTlsMode::Required;
    ftp.TimeOut = 15000; // a loaded machine takes its time over TLS and a full disk
    int successes = 0;
    ftp.OnSuccess = [&](TPumpSocket*, net::TCmdType type) { successes += type == net::ctUpload; };
    mount.Fill();
    const std::string large = Local("large.bin", std::string(2u << 20, 'x'));
    for (bool passive : {true, false}) {
        ftp.Passive = passive;
        ftp.Connect();
        ftp.Mode(2);
        try {
            ftp.Upload(large, "page.bin");
            ADD_FAILURE() << "stored on a full disk";
        } catch (const net::FTPException& e) {
            const int code = std::atoi(e.what());
            EXPECT_TRUE(code >= 400 && code < 600) << e.what();
        } catch (const net::ESockError& e) {
            if (!Py()) ADD_FAILURE() << "the reply did not decide: " << e.Message << "\n" << log_;
        }
        EXPECT_TRUE(ftp.Connected());
        ftp.Disconnect();
    }
    EXPECT_EQ(successes, 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsServer,
                         ::testing::Values(TRealFtpServer::TKind::PyFtpd,
                                           TRealFtpServer::TKind::PureFtpd),
                         [](const auto& info) { return TRealFtpServer::TestName(info.param); });
