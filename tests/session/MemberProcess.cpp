#include "MemberProcess.h"

#include "platform/MessagePump.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TMemberProcess::TMemberProcess(const std::string& listenAddress, unsigned maxFiles,
                               const std::vector<std::string>& prefix) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // Everything the child needs is built before fork: only exec follows it.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PARLORA_LISTEN_ADDR=", 20) != 0) env.emplace_back(*e);
    env.push_back("PARLORA_LISTEN_ADDR=" + listenAddress);
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = prefix;
    args.push_back(SESSION_MEMBER_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const char* path = argv[0];
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Gone with the test, even when it crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        if (maxFiles) {
            rlimit limit{maxFiles, maxFiles};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::execve(path, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(out_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ReadLines(); });
}

TMemberProcess::~TMemberProcess() {
    notifier_.reset();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(in_);
    ::close(out_);
}

void TMemberProcess::Command(const std::string& line) {
    std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) < 0) {
        // The child is gone; its absence shows in the next wait.
    }
}

void TMemberProcess::ReadLines() {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n == 0) notifier_->setEnabled(false); // end of output
            return;
        }
        partial_.append(buffer, static_cast<size_t>(n));
        for (size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, eol));
            history_.push_back(lines_.back());
            partial_.erase(0, eol + 1);
        }
    }
}

std::string TMemberProcess::WaitFor(const std::string& prefix, int timeoutMs) {
    std::string found;
    auto match = [&] {
        if (!found.empty()) return true;
        for (size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i].rfind(prefix, 0) == 0) {
                found = lines_[i];
                lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(i) + 1);
                return true;
            }
        return false;
    };
    platform::PumpUntil(match, timeoutMs);
    return found;
}

void TMemberProcess::Signal(int sig) {
    ::kill(pid_, sig);
}
