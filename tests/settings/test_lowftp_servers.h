#pragma once
// Servers for the FTP session tests: one real pyftpdlib server shared by
// the tests of a suite, and ports where nothing answers.
#include "TRealFtpServer.h"
#include "support/SilentListener.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback port held bound but never listening: connecting is refused.
// (A server that hangs is a testsupport::TSilentListener.)
class TClosedPort {
  public:
    TClosedPort() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
    }
    ~TClosedPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    TClosedPort(const TClosedPort&) = delete;
    TClosedPort& operator=(const TClosedPort&) = delete;
    int Port() const { return port_; }

  private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
};

// Started by a suite's SetUpTestSuite, stopped by its TearDownTestSuite.
class TSuiteFtpServer {
  public:
    static void Start() {
        if (!nettest::TRealFtpServer::Available(nettest::TRealFtpServer::TKind::PyFtpd)) return;
        dir_ = std::make_unique<testsupport::TempDir>();
        std::filesystem::create_directories(Root());
        server_ = std::make_unique<nettest::TRealFtpServer>(nettest::TRealFtpServer::TKind::PyFtpd,
                                                            Root());
    }
    static void Stop() {
        server_.reset();
        dir_.reset();
    }
    // Null when pyftpdlib is not installed.
    static nettest::TRealFtpServer* Server() { return server_.get(); }
    static std::filesystem::path Root() { return dir_->Path() / "root"; }

  private:
    static inline std::unique_ptr<testsupport::TempDir> dir_;
    static inline std::unique_ptr<nettest::TRealFtpServer> server_;
};
