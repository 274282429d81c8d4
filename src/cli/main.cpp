// parlora-cli: a member of a Parlora chat room without a window. See --help.
#include "TCliMember.h"
#include "TCliOptions.h"
#include "TEntryPrinter.h"
#include "TLineReader.h"
#include "reach/RoomReach.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum : int { kExitOk = 0, kExitUsage = 1, kExitNoRoom = 2, kExitLost = 3, kExitUndelivered = 4 };

int signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &b, 1);
}

void Complain(const std::string& utf8) {
    std::fprintf(stderr, "parlora-cli: %s\n", utf8.c_str());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv) {
    // A closed standard input would hand fd 0 to the first socket we open,
    // and we would read the network as typed text.
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0) {
        int null = ::open("/dev/null", O_RDONLY);
        if (null > STDIN_FILENO) ::close(null);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("parlora-cli");

    TCliOptions options;
    QString message;
    switch (ParseCliOptions(QCoreApplication::arguments(), options, message)) {
    case TCliParse::Help:
        std::fputs(message.toUtf8().constData(), stdout);
        return kExitOk;
    case TCliParse::Error:
        Complain(message.toStdString() + " (see --help)");
        return kExitUsage;
    case TCliParse::Run:
        break;
    }

    // A reader of our output that goes away must not kill us mid-room.
    std::signal(SIGPIPE, SIG_IGN);

    TEntryPrinter printer(stdout, options.Jsonl);
    // Made before the member, so that the forwarding goes after the room.
    TRoomReach reach;
    if (!options.PortMap) reach.SetEnabled(false);
    std::string toldAddress, toldProblem;
    reach.Subscribe([&] {
        std::string address = reach.OutsideAddress();
        if (!address.empty() && address != toldAddress)
            Complain("others enter from outside at " + address + " (" + reach.Status().Method +
                     ")");
        toldAddress = address;
        std::string problem = reach.ProblemText();
        if (!problem.empty() && problem != toldProblem)
            Complain(problem + " (" + reach.Status().Detail + ")");
        toldProblem = problem;
    });
    TCliMember member(options, printer);
    member.OnHost = [&] { reach.Hosting(&member, options.Port); };
    try {
        member.Enter();
    } catch (const ECliFailure& e) {
        Complain(e.what());
        return kExitNoRoom;
    } catch (const std::exception& e) {
        Complain(e.what());
        return kExitNoRoom;
    }

    if (options.Create) reach.Hosting(&member, options.Port);

    bool leaving = false;
    auto leave = [&](int code) {
        if (leaving) return;
        leaving = true;
        auto slow = [] { Complain("leaving: waiting until every member has taken what was sent"); };
        if (!member.Leave(slow)) {
            Complain("left the room, but not everything sent reached every member (a member "
                     "stopped taking it, or its connection broke)");
            if (code == kExitOk) code = kExitUndelivered;
        }
        QCoreApplication::exit(code);
    };

    member.OnSessionLost = [&] {
        if (leaving) return;
        leaving = true;
        Complain("the session was lost (the room is gone or the connection broke)");
        QCoreApplication::exit(kExitLost);
    };

    TLineReader input(STDIN_FILENO);
    // A line the room does not take yet waits here, and input is not read
    // meanwhile: the sender slows down to the room's pace and nothing is lost.
    std::optional<std::string> waiting;
    bool ended = false;
    QTimer retry;
    retry.setSingleShot(true);
    auto send = [&](const std::string& line) {
        if (leaving || member.SendLine(line)) return;
        waiting = line;
        input.Pause();
        retry.start(100);
    };
    QObject::connect(&retry, &QTimer::timeout, [&] {
        if (!waiting || leaving) return;
        if (!member.SendLine(*waiting)) return retry.start(100);
        waiting.reset();
        if (ended) return leave(kExitOk);
        input.Resume();
    });
    input.OnLine = send;
    input.OnEnd = [&] {
        ended = true;
        if (!waiting) leave(kExitOk);
    };

    // SIGINT and SIGTERM leave the room like the end of input does.
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            unsigned char sig = 0;
            if (::read(signalPipe[0], &sig, 1) == 1) {
                input.Stop();
                leave(128 + sig);
            }
        });
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    input.Start();
    int code = app.exec();
    input.Stop();
    member.Leave();
    reach.NotHosting(&member);
    return code;
}
