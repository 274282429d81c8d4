#pragma once
// Reads lines from a file descriptor (standard input) on the GUI thread
// without ever blocking it: a socket notifier says when bytes are there.
#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>

class TLineReader : public QObject {
  public:
    // A line longer than this is handed over in pieces of at most this size,
    // cut between UTF-8 characters.
    static constexpr size_t kMaxLine = 1 << 20;

    explicit TLineReader(int fd, QObject* parent = nullptr);
    ~TLineReader() override;

    // Starts reading; before this, nothing is read.
    void Start();
    // Stops reading for good; OnEnd is not raised.
    void Stop();
    // Stops handing out lines (from inside OnLine too: the next line waits)
    // and reading input, until Resume.
    void Pause();
    void Resume();

    // Each line without its LF (and without a CR before it).
    std::function<void(const std::string& line)> OnLine;
    // End of input (or a read error), after the last line.
    std::function<void()> OnEnd;

    // Where to cut a piece of at most max bytes from text so that no UTF-8
    // character is split (a run of bytes that is not UTF-8 is cut anywhere).
    static size_t CutPoint(const std::string& text, size_t max);

  private:
    void ReadReady();
    void DeliverLines();

    int fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string pending_;
    bool ended_ = false;
    bool paused_ = false;
};
