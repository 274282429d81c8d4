#include "TLineReader.h"

#include <cerrno>
#include <unistd.h>

TLineReader::TLineReader(int fd, QObject* parent) : QObject(parent), fd_(fd) {}

TLineReader::~TLineReader() = default;

void TLineReader::Start() {
    if (notifier_ || ended_) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { ReadReady(); });
}

void TLineReader::Stop() {
    ended_ = true;
    if (notifier_) notifier_->setEnabled(false);
}

void TLineReader::Pause() {
    paused_ = true;
    if (notifier_) notifier_->setEnabled(false);
}

void TLineReader::Resume() {
    if (!paused_ || ended_) return;
    paused_ = false;
    DeliverLines();
    if (notifier_ && !paused_ && !ended_) notifier_->setEnabled(true);
}

void TLineReader::ReadReady() {
    if (ended_ || paused_) return;
    char buffer[65536];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n > 0) {
        pending_.append(buffer, static_cast<size_t>(n));
        DeliverLines();
        return;
    }
    // End of input (or an error we cannot read past): the rest is the last line.
    Stop();
    if (!pending_.empty()) {
        std::string last;
        last.swap(pending_);
        if (!last.empty() && last.back() == '\r') last.pop_back();
        if (OnLine) OnLine(last);
    }
    if (OnEnd) OnEnd();
}

void TLineReader::DeliverLines() {
    size_t start = 0;
    while (!ended_ && !paused_) {
        size_t eol = pending_.find('\n', start);
        if (eol == std::string::npos) {
            if (pending_.size() - start <= kMaxLine) break;
            size_t cut = CutPoint(pending_.substr(start, kMaxLine + 4), kMaxLine);
            std::string piece = pending_.substr(start, cut);
            start += cut;
            if (OnLine) OnLine(piece);
            continue;
        }
        size_t end = eol;
        if (end > start && pending_[end - 1] == '\r') --end;
        // A line that came in whole but is too long is cut the same way.
        while (end - start > kMaxLine && !ended_ && !paused_) {
            size_t cut = CutPoint(pending_.substr(start, kMaxLine + 4), kMaxLine);
            std::string piece = pending_.substr(start, cut);
            start += cut;
            if (OnLine) OnLine(piece);
        }
        if (paused_ || ended_) break;
        std::string line = pending_.substr(start, end - start);
        start = eol + 1;
        if (OnLine) OnLine(line);
    }
    pending_.erase(0, start);
}

size_t TLineReader::CutPoint(const std::string& text, size_t max) {
    if (text.size() <= max) return text.size();
    // Step back over continuation bytes (10xxxxxx), at most three of them.
    size_t cut = max;
    for (int i = 0; i < 3 && cut > 0; ++i) {
        auto b = static_cast<unsigned char>(text[cut]);
        if ((b & 0xC0) != 0x80) return cut;
        --cut;
    }
    auto b = static_cast<unsigned char>(text[cut]);
    if ((b & 0xC0) != 0x80 && cut > 0) return cut;
    return max; // not UTF-8 here: any cut will do
}
