#pragma once
// A real FTP server started for a test on 127.0.0.1 (or another loopback
// address): pyftpdlib (no system user needed) or pure-ftpd with a virtual
// user (it greets with several lines). Both serve `root` to the user "user"
// with the password "secret", and take AUTH TLS when given a certificate.
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace nettest {

class TRealFtpServer {
  public:
    enum class TKind { PyFtpd, PureFtpd };
    static constexpr const char* User = "user";
    static constexpr const char* Password = "secret";

    enum class TTls { None, Offered, Required };
    struct TOptions {
        std::string Address = "127.0.0.1";
        TTls Tls = TTls::None;
        std::string CertFile; // certificate and key, PEM
        // pyftpdlib: data connections must resume the control session.
        bool RequireReuse = false;
        // pyftpdlib: TLS 1.2 only, sessions resumed by their id.
        bool Tls12 = false;
        // pyftpdlib: where it notes its data connections and logins.
        std::string Events;
    };

    TRealFtpServer(TKind kind, const std::filesystem::path& root);
    TRealFtpServer(TKind kind, const std::filesystem::path& root, const TOptions& options);
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
    TOptions options_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string why_;
    std::filesystem::path state_;
};

} // namespace nettest
