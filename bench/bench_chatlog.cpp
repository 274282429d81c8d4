// The chat log at its limit: the time of one entry while the log holds
// 10000 lines, and a burst of 1000 entries, in a shown (offscreen) window.
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"
#include "platform/Cp932.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct TFixture {
    QWidget Window;
    QWidget* Panel;
    TChatLog* Log;
    TMembers* Members;
    int Lines = 0;
    TFixture() {
        Window.resize(487, 468);
        auto* layout = new QVBoxLayout(&Window);
        Panel = new QWidget(&Window);
        Log = new TChatLog(&Window);
        layout->addWidget(Panel);
        layout->addWidget(Log);
        Members = new TMembers(Panel);
        Members->Add("127.0.0.1:taro");
        Members->Add("127.0.0.2:hanako");
        Log->Members = Members;
        Log->SetRoomCaption = [this](const AnsiString&) { Lines = Log->LineCount(); };
        Window.show();
        QApplication::processEvents();
    }
    ~TFixture() { delete Members; }
    void Fill() {
        const AnsiString text = platform::Utf8ToCp932("こんにちは、表示のテストです ソ能ー abc");
        while (Log->LineCount() < TChatLog::MaxLines)
            Log->AddLogEntry("127.0.0.1:taro", text);
        QApplication::processEvents();
    }
};

// CPU time of this thread: tells the control's own cost from time lost to
// other processes on a busy machine.
double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

void Measure(const char* what, const AnsiString& text, bool paint) {
    TFixture f;
    f.Fill();
    std::vector<double> ms;
    std::vector<double> cpu;
    QElapsedTimer t;
    const int count = qEnvironmentVariableIntValue("BENCH_COUNT") > 0
                          ? qEnvironmentVariableIntValue("BENCH_COUNT")
                          : 2000;
    for (int i = 0; i < count; ++i) {
        const double c0 = ThreadCpuMs();
        t.start();
        f.Log->AddLogEntry(i % 2 ? "127.0.0.1:taro" : "127.0.0.2:hanako", text);
        if (paint) f.Log->viewport()->repaint();
        ms.push_back(t.nsecsElapsed() / 1e6);
        cpu.push_back(ThreadCpuMs() - c0);
        if (f.Log->LineCount() != TChatLog::MaxLines || f.Lines != TChatLog::MaxLines) {
            std::printf("line count broken: %d\n", f.Log->LineCount());
            std::exit(1);
        }
    }
    std::printf(
        "%-24s wall p50 %.3f  p99 %.3f  max %.3f ms | cpu p50 %.3f  p99 %.3f  max %.3f ms\n", what,
        Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0), Percentile(cpu, 0.5),
        Percentile(cpu, 0.99), Percentile(cpu, 1.0));
}

void Burst(const AnsiString& text) {
    TFixture f;
    f.Fill();
    QElapsedTimer t;
    const double c0 = ThreadCpuMs();
    t.start();
    for (int i = 0; i < 1000; ++i) {
        f.Log->AddLogEntry("127.0.0.1:taro", text);
        if (f.Log->LineCount() != TChatLog::MaxLines) std::exit(1);
    }
    QApplication::processEvents(); // the one repaint after the burst
    std::printf("%-24s wall %.1f ms, cpu %.1f ms for 1000 entries\n", "burst, one line",
                t.nsecsElapsed() / 1e6, ThreadCpuMs() - c0);
}

// The control we did not choose, for comparison: a rich-text QTextEdit that
// appends a coloured line and removes its first line per entry.
void RichTextEditBaseline() {
    QTextEdit edit;
    edit.resize(487, 400);
    edit.setReadOnly(true);
    edit.setUndoRedoEnabled(false);
    edit.show();
    QTextCharFormat format;
    format.setForeground(QColor(0, 0, 255));
    const QString line = QString::fromUtf8("<taro>今日は良い天気ですね。表示テスト ソ能ー");
    QTextCursor cursor(edit.document());
    for (int i = 0; i < TChatLog::MaxLines; ++i) {
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(line + QLatin1Char('\n'), format);
    }
    QApplication::processEvents();
    std::vector<double> cpu;
    for (int i = 0; i < 200; ++i) {
        const double c0 = ThreadCpuMs();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(line + QLatin1Char('\n'), format);
        QTextCursor first(edit.document());
        first.select(QTextCursor::BlockUnderCursor);
        first.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        first.removeSelectedText();
        edit.moveCursor(QTextCursor::End);
        edit.ensureCursorVisible();
        cpu.push_back(ThreadCpuMs() - c0);
    }
    std::printf("%-24s cpu p50 %.3f  p99 %.3f ms (200 entries)\n", "QTextEdit, for comparison",
                Percentile(cpu, 0.5), Percentile(cpu, 0.99));
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const AnsiString one = platform::Utf8ToCp932("今日は良い天気ですね。表示テスト ソ能ー");
    const AnsiString three = platform::Utf8ToCp932("一行目です\r\n二行目 表\r\n三行目 ソ");
    if (argc > 1 && std::string(argv[1]) == "one") {
        Measure("one line", one, false);
        return 0;
    }
    Measure("one line", one, false);
    Measure("three lines", three, false);
    Measure("one line + repaint", one, true);
    Measure("three lines + repaint", three, true);
    Burst(one);
    RichTextEditBaseline();
    return 0;
}
