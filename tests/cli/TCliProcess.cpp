#include "TCliProcess.h"

#include "support/Wait.h"

#include <QProcessEnvironment>
#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

TCliProcess::TCliProcess(const std::string& address, const QStringList& arguments,
                         TCliOutput output, const TCliLaunch& launch)
    : process_(std::make_unique<QProcess>()) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PARLORA_LISTEN_ADDR", QString::fromStdString(address));
    env.insert("PARLORA_OWN_IP", QString::fromStdString(address));
    for (auto& [name, value] : launch.Environment)
        env.insert(QString::fromStdString(name), QString::fromStdString(value));
    process_->setProcessEnvironment(env);
    int gone[2] = {-1, -1};
    if (output == TCliOutput::ReaderGone && ::pipe2(gone, O_CLOEXEC) == 0) {
        ::close(gone[0]);
        const int writeEnd = gone[1];
        // In the child: the broken pipe as standard output, and SIGPIPE as
        // a shell leaves it, whatever this test process does with it.
        process_->setChildProcessModifier([writeEnd] {
            ::dup2(writeEnd, STDOUT_FILENO);
            ::signal(SIGPIPE, SIG_DFL);
        });
    }
    const QString program =
        launch.Program.empty() ? PARLORA_CLI_PATH : QString::fromStdString(launch.Program);
    if (launch.Prefix.empty()) {
        process_->start(program, arguments);
    } else {
        QStringList all;
        for (size_t i = 1; i < launch.Prefix.size(); ++i)
            all << QString::fromStdString(launch.Prefix[i]);
        all << program << arguments;
        process_->start(QString::fromStdString(launch.Prefix[0]), all);
    }
    process_->waitForStarted(10000);
    if (gone[1] >= 0) ::close(gone[1]);
}

TCliProcess::~TCliProcess() {
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

void TCliProcess::Write(const std::string& bytes) {
    process_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    process_->waitForBytesWritten(5000);
}

size_t TCliProcess::InputNotTaken() const {
    return static_cast<size_t>(process_->bytesToWrite());
}

void TCliProcess::CloseInput() {
    process_->closeWriteChannel();
}

void TCliProcess::Signal(int sig) {
    ::kill(static_cast<pid_t>(process_->processId()), sig);
}

void TCliProcess::ReadLines() {
    partial_ += process_->readAllStandardOutput().toStdString();
    stderr_ += process_->readAllStandardError().toStdString();
    for (size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, eol));
        partial_.erase(0, eol + 1);
    }
}

bool TCliProcess::WaitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs) {
    size_t checked = 0;
    bool found = false;
    testsupport::WaitUntil(
        [&] {
            ReadLines();
            for (; checked < lines_.size(); ++checked)
                if (match(lines_[checked])) return found = true;
            return process_->state() == QProcess::NotRunning;
        },
        timeoutMs);
    if (found) return true;
    ReadLines();
    return std::any_of(lines_.begin() + static_cast<long>(checked), lines_.end(), match);
}

bool TCliProcess::WaitForLine(const std::string& exact, int timeoutMs) {
    return WaitForLine([&](const std::string& line) { return line == exact; }, timeoutMs);
}

int TCliProcess::WaitForExit(int timeoutMs) {
    bool ended = process_->state() == QProcess::NotRunning || process_->waitForFinished(timeoutMs);
    ReadLines();
    if (!ended || process_->exitStatus() != QProcess::NormalExit) return -1;
    return process_->exitCode();
}

bool TCliProcess::WaitForStderr(const std::string& text, int timeoutMs) {
    testsupport::WaitUntil(
        [&] {
            ReadLines();
            return stderr_.find(text) != std::string::npos ||
                   process_->state() == QProcess::NotRunning;
        },
        timeoutMs);
    ReadLines();
    return stderr_.find(text) != std::string::npos;
}

size_t TCliProcess::Count(const std::string& exact) const {
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), exact));
}

size_t TCliProcess::CountNow(const std::function<bool(const std::string&)>& match) {
    ReadLines();
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), match));
}

std::string TCliProcess::Stderr() {
    ReadLines();
    return stderr_;
}
