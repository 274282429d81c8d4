#pragma once
// A scripted FTP-like peer on 127.0.0.1 for replies no real server gives on
// demand. The script runs on its own thread with blocking sockets and
// generous deadlines, while the client under test waits on the GUI thread.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

class TScriptServer {
  public:
    // One accepted control connection as the script sees it.
    class TConn {
      public:
        explicit TConn(TScriptServer& server, int fd) : server_(server), fd_(fd) {}
        // The next line without its CR LF; "" when the peer closed or 10 s passed.
        std::string ReadLine();
        // Reads a line and records it; returns it.
        std::string Expect();
        void Send(const std::string& bytes);
        void Close();
        // Passive data: a listener on 127.0.0.1, returning its port.
        int OpenPassive();
        int AcceptPassive();
        // Active data: connects to the address of a PORT argument.
        int ConnectActive(const std::string& portArgument);
        // Everything the data connection delivers until the client closes it.
        static std::string ReadAll(int fd);
        int Fd() const { return fd_; }

      private:
        TScriptServer& server_;
        int fd_;
        int passiveFd_ = -1;
        std::string pending_;
    };

    explicit TScriptServer(std::function<void(TConn&)> script);
    ~TScriptServer();
    int Port() const { return port_; }
    // Lines received so far, in order.
    std::vector<std::string> Commands();
    void Join();

  private:
    void Record(const std::string& line);
    int listenFd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

// Number of open file descriptors of this process.
int OpenFdCount();

} // namespace nettest
