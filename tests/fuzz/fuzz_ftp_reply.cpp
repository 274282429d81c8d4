// Feeds arbitrary server byte streams to the FTP client's reply handling:
// the greeting, login (direct, firewall, the proxy variants), single
// commands with multi-line replies, and QUIT, over a real loopback
// connection whose server side sends the input and then closes. Also feeds
// the input to the PASV port parser and the field splitter.
//
// The first byte picks the login variant; the rest is what the server sends.
#include "net/TFTPClient.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int g_listenFd = -1;
int g_port = 0;

void Serve(const uint8_t* data, size_t size) {
    pollfd lp{g_listenFd, POLLIN, 0};
    if (::poll(&lp, 1, 5000) <= 0) return;
    int fd = ::accept4(g_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    size_t off = 0;
    char sink[4096];
    while (off < size) {
        pollfd p{fd, POLLOUT | POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        if (p.revents & POLLIN) {
            if (::recv(fd, sink, sizeof sink, 0) == 0) break;
        }
        if (p.revents & (POLLERR | POLLHUP)) break;
        if (p.revents & POLLOUT) {
            long n = ::send(fd, data + off, size - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
    }
    ::shutdown(fd, SHUT_WR);
    // Keep taking the client's commands until it hangs up.
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        if (::recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    g_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(g_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(g_listenFd, 4);
    socklen_t len = sizeof a;
    ::getsockname(g_listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    g_port = ntohs(a.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 200000) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        (void)net::TFTPClient::PasvPort(text);
    } catch (const platform::Exception&) {
    }
    (void)net::TFTPClient::ExtractField(text, ',', 6);
    (void)net::TFTPClient::Classify(text);

    const uint8_t options = data[0];
    std::thread server(Serve, data + 1, size - 1);
    size_t statusBytes = 0;
    {
        net::TFTPClient ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = g_port;
        ftp.TlsMode = net::TTlsMode::Never; // the replies of the plain protocol
        ftp.TimeOut = 3000;                 // a safety net only: the server side always closes
        ftp.ReportLevel = 8;
        ftp.UserID = "user";
        ftp.Password = (options & 0x10) ? "" : "secret";
        ftp.FWAuthenticate = options & 0x01;
        ftp.FWUserID = "fw";
        ftp.FWPassword = "fwpass";
        int proxy = (options >> 1) & 3;
        if (proxy) {
            ftp.Proxy = "127.0.0.1";
            ftp.ProxyPort = g_port;
            ftp.FirewallType = static_cast<net::TFirewallType>(proxy - 1);
        }
        ftp.OnStatus = [&](net::TPumpSocket*, const AnsiString& s) { statusBytes += s.size(); };
        if (options & 0x08)
            ftp.OnFailure = [](net::TPumpSocket*, bool& handled, net::TCmdType) { handled = true; };
        ftp.OnAuthenticationNeeded = [](net::TPumpSocket* s, bool&) {
            static_cast<net::TFTPClient*>(s)->Password = "late";
        };
        try {
            ftp.Connect();
            ftp.Mode(1);
            ftp.ChangeDir("pub");
            ftp.DoCommand("PWD");
            ftp.DoCommand("SITE CHMOD 644 x");
            ftp.Disconnect();
        } catch (const platform::Exception&) {
        }
    }
    server.join();
    return 0;
}
