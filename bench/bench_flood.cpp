// A flood: 10000 and 60000 chat texts queued at once for a session, drained
// by the receive thread's pump into a shown (offscreen) chat log, as the chat
// window wires them. Measures how long the GUI thread goes without serving
// its event loop: the worst gap between the ticks of a 10 ms timer.
//
// The service is the scripted one of the session tests: a real room cannot
// be made to hold a given number of blocks queued at one moment.
#include "chat_core/ChatPayload.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"
#include "entry/ApplicationGuid.h"
#include "platform/Cp932.h"
#include "session/ScriptedDirectPlay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace sessiontest;

namespace {

const char* const kRoomGuid = entry::kApplicationGuid;
const char* const kSender = "127.0.0.1:seven";

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

std::string LoadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly)) return "?";
    return f.readLine().trimmed().toStdString();
}

struct TResult {
    double WorstGapMs = 0;
    double WorstCpuGapMs = 0; // the GUI thread's own work between two ticks
    double DrainMs = 0;
    double CpuMs = 0;
    int Ticks = 0;
    int Slices = 0;
    double BetweenMs = 0;
};

TResult Flood(int count) {
    QWidget window;
    window.resize(487, 468);
    auto* layout = new QVBoxLayout(&window);
    auto* panel = new QWidget(&window);
    auto* log = new TChatLog(&window);
    layout->addWidget(panel);
    layout->addWidget(log);
    TMembers members(panel);
    members.Add(kSender);
    log->Members = &members;
    QString caption;
    log->SetRoomCaption = [&](const AnsiString& suffix) {
        caption = QStringLiteral("Parlora:room") + QString::fromStdString(suffix);
        window.setWindowTitle(caption);
    };
    window.show();
    QApplication::processEvents();

    QEventLoop loop;
    int delivered = 0;
    TResult r;
    QElapsedTimer clock;
    qint64 last = 0, lastDelivery = 0;
    double lastCpu = 0;
    TScriptedSession session;
    session.SetGUID(kRoomGuid);
    // As the chat window handles a block: dispatch the payload into the log.
    session.OnMessage = [&](TCustomDPSession*, TDPPlayer* from, const void* data, int size) {
        chat::TPayloadEvents events;
        events.OnText = [&](const AnsiString& sender, const AnsiString& text) {
            log->AddLogEntry(sender, text);
        };
        chat::DispatchPayload(from ? from->Name : AnsiString(), data, static_cast<size_t>(size),
                              events);
        const qint64 now = clock.nsecsElapsed();
        if (now - lastDelivery > 2000000) {
            ++r.Slices;
            r.BetweenMs += (now - lastDelivery) / 1e6;
        }
        lastDelivery = now;
        if (++delivered == count) loop.quit();
    };
    session.Script->Others = {{7, kSender}};
    session.SetProvider(session.ProviderList().Names(0));
    session.OpenSession(true, "room", "127.0.0.1:me");

    const AnsiString text = platform::Utf8ToCp932("こんにちは、表示のテストです ソ能ー abc ");
    for (int i = 0; i < count; ++i) {
        chat::TPayload p = chat::BuildChatText(text + std::to_string(i));
        session.Script->Queue.emplace_back(7, std::vector<uint8_t>(p.begin(), p.end()));
    }

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        r.WorstGapMs = std::max(r.WorstGapMs, (now - last) / 1e6);
        last = now;
        const double cpu = ThreadCpuMs();
        r.WorstCpuGapMs = std::max(r.WorstCpuGapMs, cpu - lastCpu);
        lastCpu = cpu;
        ++r.Ticks;
    });
    const double cpu0 = ThreadCpuMs();
    lastCpu = cpu0;
    tick.start();
    clock.start();
    session.Script->Event->Set(); // the receive thread hands the pump over
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 end = clock.nsecsElapsed();
    r.WorstGapMs = std::max(r.WorstGapMs, (end - last) / 1e6);
    r.DrainMs = end / 1e6;
    r.WorstCpuGapMs = std::max(r.WorstCpuGapMs, ThreadCpuMs() - lastCpu);
    r.CpuMs = ThreadCpuMs() - cpu0;
    tick.stop();

    const int expectLines = std::min(count, TChatLog::MaxLines);
    const std::string lastLine = platform::Cp932ToUtf8(log->LineAt(log->LineCount() - 1));
    const std::string wantLast =
        "<seven>" + platform::Cp932ToUtf8(text) + std::to_string(count - 1);
    if (delivered != count || log->LineCount() != expectLines || lastLine != wantLast) {
        std::printf("flood of %d broken: %d delivered, %d lines, last \"%s\"\n", count, delivered,
                    log->LineCount(), lastLine.c_str());
        std::exit(1);
    }
    session.CloseSession();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int repeat = qEnvironmentVariableIntValue("BENCH_REPEAT") > 0
                           ? qEnvironmentVariableIntValue("BENCH_REPEAT")
                           : 3;
    std::printf("load average before: %s\n", LoadAverage().c_str());
    for (int count : {10000, 60000}) {
        for (int i = 0; i < repeat; ++i) {
            TResult r = Flood(count);
            std::printf("%6d entries: worst gap %7.1f ms (GUI cpu %6.1f ms) | drained in %7.1f ms, "
                        "GUI cpu %7.1f ms,"
                        " %d ticks of 10 ms, %d pauses of %.1f ms on average\n",
                        count, r.WorstGapMs, r.WorstCpuGapMs, r.DrainMs, r.CpuMs, r.Ticks, r.Slices,
                        r.Slices ? r.BetweenMs / r.Slices : 0.0);
        }
    }
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
}
