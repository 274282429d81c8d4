#pragma once
// A session member running in a process of its own (the parlora_session_member
// helper), driven by command lines and read back by its event lines.
#include <QSocketNotifier>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class TMemberProcess {
  public:
    // Starts the helper listening on listenAddress (127.0.0.x); maxFiles,
    // when not 0, is its limit of open descriptors. With a prefix (a command
    // such as "ip netns exec <name>") the helper is started through it.
    explicit TMemberProcess(const std::string& listenAddress, unsigned maxFiles = 0,
                            const std::vector<std::string>& prefix = {});
    ~TMemberProcess();
    TMemberProcess(const TMemberProcess&) = delete;
    TMemberProcess& operator=(const TMemberProcess&) = delete;

    void Command(const std::string& line);
    // Keeps the GUI thread serving events until a line starting with prefix
    // arrives; returns it and drops the lines before it. "" on timeout.
    std::string WaitFor(const std::string& prefix, int timeoutMs = 15000);
    void Signal(int sig);
    pid_t Pid() const { return pid_; }
    // Every line read so far.
    const std::vector<std::string>& History() const { return history_; }

  private:
    void ReadLines();

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    std::vector<std::string> history_;
    std::unique_ptr<QSocketNotifier> notifier_;
};
