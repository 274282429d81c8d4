#pragma once
// A real FTP server started for a test on 127.0.0.1: pyftpdlib (no system
// user needed) or pure-ftpd with a virtual user (it greets with several
// lines). Both serve `root` to the user "user" with the password "secret".
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace nettest {

class TRealFtpServer {
  public:
    enum class TKind { PyFtpd, PureFtpd };
    static constexpr const char* User = "user";
    static constexpr const char* Password = "secret";

    TRealFtpServer(TKind kind, const std::filesystem::path& root);
    ~TRealFtpServer();
    TRealFtpServer(const TRealFtpServer&) = delete;
    TRealFtpServer& operator=(const TRealFtpServer&) = delete;

    // 0 when the server could not be started (Why() says why).
    int Port() const { return port_; }
    const std::string& Why() const { return why_; }
    static bool Available(TKind kind);
    static const char* Name(TKind kind);
    // The name as a test parameter may spell it.
    static const char* TestName(TKind kind) {
        return kind == TKind::PyFtpd ? "pyftpdlib" : "pureftpd";
    }

  private:
    void StartPyFtpd(const std::filesystem::path& root);
    void StartPureFtpd(const std::filesystem::path& root);
    pid_t pid_ = -1;
    int port_ = 0;
    std::string why_;
    std::filesystem::path state_;
};

} // namespace nettest
