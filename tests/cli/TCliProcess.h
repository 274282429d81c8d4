#pragma once
// A parlora-cli process for the tests: started with its own listen address
// and own address, fed on standard input, read back line by line.
#include "support/FreshPort.h"

#include <QProcess>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where the process's standard output goes: to the test, or into a pipe
// whose reader has already gone (as after `parlora-cli ... | head -1`).
enum class TCliOutput { Read, ReaderGone };

// How the process is started beyond its arguments: a command it runs under
// (a network namespace), environment variables set for it, and another
// build of the program to run ("": parlora-cli itself).
struct TCliLaunch {
    std::vector<std::string> Prefix;
    std::vector<std::pair<std::string, std::string>> Environment;
    std::string Program;
};

class TCliProcess {
  public:
    // Starts parlora-cli with `arguments`, its session service listening on
    // `address` (127.0.0.x), which is also its own address.
    TCliProcess(const std::string& address, const QStringList& arguments,
                TCliOutput output = TCliOutput::Read, const TCliLaunch& launch = {});
    ~TCliProcess();
    TCliProcess(const TCliProcess&) = delete;
    TCliProcess& operator=(const TCliProcess&) = delete;

    void Write(const std::string& bytes);
    // What was written that the process has not taken from its input yet
    // (bytes still waiting on our side of the pipe).
    size_t InputNotTaken() const;
    void CloseInput();
    void Signal(int sig);

    // Waits until an output line satisfying `match` has arrived (earlier
    // lines included); true when one did within the deadline.
    bool WaitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs = 20000);
    bool WaitForLine(const std::string& exact, int timeoutMs = 20000);
    // Waits for the process to end; its exit code, or -1 on timeout or crash.
    int WaitForExit(int timeoutMs = 20000);

    const std::vector<std::string>& Lines() const { return lines_; }
    size_t Count(const std::string& exact) const;
    // The lines so far (what came since the last look included) that satisfy `match`.
    size_t CountNow(const std::function<bool(const std::string&)>& match);
    std::string Stderr();
    // Waits until standard error holds `text`; true when it did within the deadline.
    bool WaitForStderr(const std::string& text, int timeoutMs = 20000);

  private:
    void ReadLines();

    std::unique_ptr<QProcess> process_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::string stderr_;
};

// A port of its own for each test, so tests never meet each other's rooms.
using testsupport::FreshPort;
