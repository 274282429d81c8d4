#include "TRealFtpServer.h"

#include "support/Wait.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nettest {
namespace fs = std::filesystem;
namespace {

int FreePort(const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(const std::string& address, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string SourceDir() {
    const char* s = std::getenv("PARLORA_SOURCE_DIR");
    return s ? s : PARLORA_TEST_SOURCE_DIR;
}

} // namespace

bool TRealFtpServer::Available(TKind kind) {
    if (kind == TKind::PyFtpd)
        return std::system("/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") == 0;
    // pure-ftpd binds, changes root and switches users: root only.
    return ::geteuid() == 0 && ::access("/usr/sbin/pure-ftpd", X_OK) == 0 &&
           ::access("/usr/bin/pure-pw", X_OK) == 0;
}

const char* TRealFtpServer::Name(TKind kind) {
    return kind == TKind::PyFtpd ? "pyftpdlib" : "pure-ftpd";
}

TRealFtpServer::TRealFtpServer(TKind kind, const fs::path& root)
    : TRealFtpServer(kind, root, TOptions{}) {}

TRealFtpServer::TRealFtpServer(TKind kind, const fs::path& root, const TOptions& options)
    : options_(options) {
    if (kind == TKind::PyFtpd)
        StartPyFtpd(root);
    else
        StartPureFtpd(root);
}

TRealFtpServer::~TRealFtpServer() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    if (!state_.empty()) fs::remove_all(state_);
}

void TRealFtpServer::StartPyFtpd(const fs::path& root) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    std::string script = SourceDir() + "/tests/net/ftp_server.py";
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        // A test killed before its destructor runs takes the server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(out[1], 1);
        std::vector<std::string> args{"python3", script,      root.string(),   User,
                                      Password,  "--address", options_.Address};
        if (options_.Tls != TTls::None) args.insert(args.end(), {"--tls", options_.CertFile});
        if (options_.Tls == TTls::Required) args.push_back("--tls-required");
        if (options_.RequireReuse) args.push_back("--require-reuse");
        if (options_.Tls12) args.push_back("--tls12");
        if (!options_.Events.empty()) args.insert(args.end(), {"--events", options_.Events});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv("/usr/bin/python3", argv.data());
        ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);
    ::close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 15000) > 0) {
        char c[64];
        long n = ::read(out[0], c, sizeof c);
        if (n <= 0) break;
        line.append(c, static_cast<size_t>(n));
    }
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
    if (port_ == 0) why_ = "pyftpdlib did not start";
}

void TRealFtpServer::StartPureFtpd(const fs::path& root) {
    char tmpl[] = "/tmp/parlora-pureftpd-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    state_ = tmpl;
    // The server works as "nobody" inside the root.
    fs::permissions(root, fs::perms::all);
    // Only ever add the traverse bits: the parent may be a shared folder such
    // as /tmp, whose own mode (sticky bit included) must stay as it is.
    fs::permissions(root.parent_path(), fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    std::string cmd = "printf '" + std::string(Password) + "\\n" + Password +
                      "\\n' | /usr/bin/pure-pw useradd " + User + " -u nobody -g nogroup -d '" +
                      root.string() + "' -f '" + (state_ / "passwd").string() +
                      "' >/dev/null 2>&1 && /usr/bin/pure-pw mkdb '" + (state_ / "pdb").string() +
                      "' -f '" + (state_ / "passwd").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        why_ = "pure-pw failed";
        return;
    }
    int port = FreePort(options_.Address);
    std::string db = "puredb:" + (state_ / "pdb").string();
    std::string bind = options_.Address + "," + std::to_string(port);
    // -Y 1: TLS when the client asks; 2: no login in the clear.
    std::vector<std::string> args{"pure-ftpd", "-l", db, "-S", bind, "-A", "-E", "-H"};
    if (options_.Tls != TTls::None)
        args.insert(args.end(), {"-Y", options_.Tls == TTls::Required ? "2" : "1",
                                 "--certfile=" + options_.CertFile});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        // A test killed before its destructor runs takes the server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::execv("/usr/sbin/pure-ftpd", argv.data());
        ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);
    // Ready once it accepts connections.
    bool accepts = false, exited = false;
    testsupport::PollUntil(
        [&] {
            accepts = Accepts(options_.Address, port);
            int status;
            exited = !accepts && ::waitpid(pid_, &status, WNOHANG) == pid_;
            return accepts || exited;
        },
        15000);
    if (accepts) {
        port_ = port;
        return;
    }
    if (exited) pid_ = -1;
    why_ = "pure-ftpd did not start";
}

} // namespace nettest
