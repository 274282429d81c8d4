#include "dplay/links/DPLink.h"

#include "dplay/links/DPTls.h"

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace dplay {

using namespace std::chrono;

namespace {
// Frames gathered into one TLS write, unless one frame alone is longer.
constexpr size_t kSealedBytes = 64 * 1024;
} // namespace

TDPLink::TDPLink(asio::ip::tcp::socket socket, asio::ssl::context* tls, bool accepted)
    : socket_(std::move(socket)), timer_(socket_.get_executor()),
      decoder_(proto::kMaxHandshakeFrame), readBuffer_(64 * 1024) {
    if (tls) {
        tls_ = std::make_unique<TDPTlsEngine>(tls->native_handle(), accepted);
        opened_.resize(kSealedBytes);
        writeActive_ = true; // frames wait for the handshake
    }
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec); // blocks go out at once
    auto ep = socket_.remote_endpoint(ec);
    if (!ec) remote_ = Plain(ep.address());
    auto own = socket_.local_endpoint(ec);
    if (!ec) local_ = Plain(own.address());
    started_ = lastReceive_ = lastSend_ = steady_clock::now();
}

TDPLink::~TDPLink() = default;

void TDPLink::Start(FrameHandler onFrame, EndHandler onEnd) {
    SetHandlers(std::move(onFrame), std::move(onEnd));
    Tick();
    if (tls_ && !tls_->Valid()) {
        asio::post(socket_.get_executor(),
                   [self = shared_from_this()] { self->Close(TLinkEnd::PeerGone); });
        return;
    }
    // The handshake deadline of Tick bounds the TLS handshake too; a client
    // speaks first.
    if (tls_ && !StepHandshake()) return;
    Read();
}

bool TDPLink::TakeTlsOutputLocked() {
    if (tls_->OutputSize() == 0) return false;
    TSealed out;
    tls_->TakeOutput(out.Bytes);
    sealed_.push_back(std::move(out));
    // A sender may not write past it: the I/O thread owns the socket until it is out.
    writeActive_ = true;
    return true;
}

bool TDPLink::StepHandshake() {
    TDPTlsEngine::TStep step;
    bool output;
    {
        std::lock_guard lock(sendMutex_);
        step = tls_->Handshake();
        if (step == TDPTlsEngine::TStep::Done) peerKey_ = TDPTls::PeerKey(tls_->Native());
        output = TakeTlsOutputLocked();
    }
    if (step == TDPTlsEngine::TStep::More) {
        if (output) Write();
        return true;
    }
    if (step == TDPTlsEngine::TStep::Done && peerKey_) {
        lastReceive_ = steady_clock::now();
        Write(); // our last handshake bytes, then what was sent meanwhile
        return true;
    }
    // A peer that ends TLS is gone; anything else is a peer that does not
    // speak this (an older version sends its frames in the clear).
    FlushBeforeClose();
    Close(step == TDPTlsEngine::TStep::Ended ? TLinkEnd::PeerGone : TLinkEnd::Insecure);
    return false;
}

void TDPLink::FlushBeforeClose() {
    std::lock_guard lock(sendMutex_);
    if (flushing_ || !sendOpen_) return; // a write is out: bytes after it would come first
    for (const TSealed& out : sealed_) {
        ssize_t n = ::send(socket_.native_handle(), out.Bytes.data(), out.Bytes.size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(out.Bytes.size())) return;
    }
}

void TDPLink::SetHandlers(FrameHandler onFrame, EndHandler onEnd) {
    onEnd_ = std::move(onEnd);
    // A handler may hand the link on while it runs; it must not be destroyed under itself.
    if (dispatching_)
        nextFrame_ = std::move(onFrame);
    else
        onFrame_ = std::move(onFrame);
}

bool TDPLink::Dispatch(uint8_t type, const uint8_t* body, size_t size) {
    if (!open_ || !onFrame_) return false;
    if (draining_) return true; // let go by an earlier frame of the same read
    dispatching_ = true;
    bool ok = onFrame_(type, body, size);
    dispatching_ = false;
    if (nextFrame_) {
        onFrame_ = std::move(nextFrame_);
        nextFrame_ = nullptr;
    }
    if (!open_) onFrame_ = nullptr;
    return ok && open_;
}

void TDPLink::Established() {
    established_ = true;
    AllowFullFrames();
}

void TDPLink::AllowFullFrames() {
    decoder_.SetMaxLength(maxFrame_);
}

void TDPLink::HandOverKeepalive(uint32_t maxFrame) {
    ownKeepalive_ = false;
    maxFrame_ = maxFrame;
    Established();
}

void TDPLink::Resume() {
    if (!paused_) return;
    paused_ = false;
    // The pause was ours: it counts neither as silence nor against a frame.
    lastReceive_ = frameLastBytes_ = steady_clock::now();
    if (open_ && !reading_) Read();
}

bool TDPLink::Deliver(const uint8_t* data, size_t size, bool& completed) {
    return decoder_.Feed(data, size, [this, &completed](uint8_t t, const uint8_t* b, size_t s) {
        completed = true;
        return Dispatch(t, b, s);
    });
}

void TDPLink::Read() {
    // Resume starts reading again; a handler may have started the next read already.
    if (paused_ || reading_) return;
    reading_ = true;
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(readBuffer_), [this, self](asio::error_code ec, size_t n) {
        reading_ = false;
        if (!open_) return;
        if (ec) {
            // The peer closes only once it has read our end of stream (under
            // TLS too it ends the stream without close_notify).
            delivered_ = draining_ && shutDown_ && ec == asio::error::eof;
            Close(TLinkEnd::PeerGone);
            return;
        }
        const auto now = lastReceive_ = steady_clock::now();
        if (draining_) { // nobody wants it any more; reading on only keeps the stream clean
            Read();
            return;
        }
        bool completed = false;
        bool ok = true;
        if (!tls_) {
            ok = Deliver(readBuffer_.data(), n, completed);
        } else {
            {
                std::lock_guard lock(sendMutex_);
                tls_->Feed(readBuffer_.data(), n);
            }
            if (!peerKey_) {
                if (!StepHandshake()) return;
                if (!peerKey_) {
                    Read();
                    return;
                }
            }
            // Every record that came is opened, as the clear path feeds all it read.
            for (;;) {
                TDPTlsEngine::TStep step;
                size_t got = 0;
                bool output;
                {
                    std::lock_guard lock(sendMutex_);
                    step = tls_->Open(opened_.data(), opened_.size(), got);
                    output = TakeTlsOutputLocked();
                }
                if (step == TDPTlsEngine::TStep::More) {
                    if (output) Write();
                    break;
                }
                if (step != TDPTlsEngine::TStep::Done) {
                    // close_notify, or records that do not open: no frame is
                    // taken from them, the alert goes out if it can.
                    delivered_ = step == TDPTlsEngine::TStep::Ended && draining_ && shutDown_;
                    FlushBeforeClose();
                    Close(TLinkEnd::PeerGone);
                    return;
                }
                if (output) Write();
                ok = Deliver(opened_.data(), got, completed);
                if (!open_ || !ok) break;
            }
        }
        if (!open_) return;
        if (!ok) {
            Close(TLinkEnd::Violation);
            return;
        }
        FrameProgress(now, completed);
        Read();
    });
}

void TDPLink::Send(proto::TFrame frame) {
    std::unique_lock lock(sendMutex_);
    if (!sendOpen_ || closeAfterSend_ || overflowed_) return;
    if (!writeActive_) {
        // Nothing ahead of it: try the socket at once, without blocking.
        const uint8_t* bytes = frame->data();
        size_t size = frame->size();
        if (tls_) {
            sealing_.clear();
            if (!tls_->Seal(bytes, size)) {
                lock.unlock();
                asio::post(socket_.get_executor(),
                           [self = shared_from_this()] { self->Close(TLinkEnd::PeerGone); });
                return;
            }
            tls_->TakeOutput(sealing_);
            bytes = sealing_.data();
            size = sealing_.size();
        }
        ssize_t n = ::send(socket_.native_handle(), bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(size)) {
            lastSend_ = steady_clock::now();
            return;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lock.unlock();
            asio::post(socket_.get_executor(),
                       [self = shared_from_this()] { self->Close(TLinkEnd::PeerGone); });
            return;
        }
        const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
        writeActive_ = true;
        unsentBytes_ += frame->size();
        if (tls_) // sealed: the rest goes whole, never dropped
            sealed_.push_back({std::vector<uint8_t>(sealing_.begin() + sent, sealing_.end()),
                               frame->size()});
        else if (sent > 0) // the rest of this frame goes first
            queue_.push_back(
                std::make_shared<const std::vector<uint8_t>>(frame->begin() + sent, frame->end()));
        else
            queue_.push_back(std::move(frame));
        if (!tls_) unsentBytes_ -= sent;
        lock.unlock();
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Write(); });
        return;
    }
    if (unsentBytes_ + frame->size() > proto::kMaxUnsentBytes) {
        // The peer does not read; holding more would let it eat our memory.
        // What has not started going out is dropped, and the last words go
        // in its place, so the peer learns why the link ends when it reads.
        overflowed_ = true;
        // Never half a frame: sealed records are out of the queue already;
        // in the clear the front may be a frame begun.
        const size_t keep = tls_ ? 0 : std::max<size_t>(writingCount_, 1);
        while (queue_.size() > keep) {
            unsentBytes_ -= queue_.back()->size();
            queue_.pop_back();
        }
        if (lastWords_) {
            unsentBytes_ += lastWords_->size();
            queue_.push_back(lastWords_);
        }
        lock.unlock();
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Overflowed(); });
        return;
    }
    unsentBytes_ += frame->size();
    queue_.push_back(std::move(frame));
}

void TDPLink::Overflowed() {
    if (!open_) return;
    EndHandler onEnd = std::move(onEnd_);
    onEnd_ = nullptr;
    CloseAfterSend();
    if (onEnd) onEnd(TLinkEnd::Timeout);
}

void TDPLink::Write() {
    std::unique_lock lock(sendMutex_);
    if (!open_ || !sendOpen_) return;
    if (tls_) return WriteSealed(lock);
    if (queue_.empty()) {
        writeActive_ = false;
        if (closeAfterSend_) {
            lock.unlock();
            FinishSending();
        }
        return;
    }
    writing_.clear();
    // Whole frames only, many at once: one frame is never split across writes by us.
    for (const auto& f : queue_) {
        writing_.push_back(asio::buffer(*f));
        if (writing_.size() == 64) break;
    }
    writingCount_ = writing_.size();
    lastSend_ = steady_clock::now();
    lock.unlock();
    asio::async_write(socket_, writing_,
                      [this, self = shared_from_this()](asio::error_code ec, size_t) {
                          if (!Written(ec)) return;
                          {
                              std::lock_guard guard(sendMutex_);
                              for (size_t i = 0; i < writingCount_; ++i) {
                                  unsentBytes_ -= queue_.front()->size();
                                  queue_.pop_front();
                              }
                              writingCount_ = 0;
                          }
                          Write();
                      });
}

bool TDPLink::Written(const asio::error_code& ec) {
    if (!open_) return false;
    if (ec) {
        Close(TLinkEnd::PeerGone);
        return false;
    }
    lastTaken_ = steady_clock::now();
    return true;
}

void TDPLink::WriteSealed(std::unique_lock<std::mutex>& lock) {
    if (flushing_) return; // its end writes on
    if (sealed_.empty() && peerKey_ && !queue_.empty()) {
        // Frames gathered into one seal, unless one frame alone is longer.
        gathered_.clear();
        size_t frames = 0, plain = 0;
        for (const auto& f : queue_) {
            if (frames > 0 && plain + f->size() > kSealedBytes) break;
            gathered_.insert(gathered_.end(), f->begin(), f->end());
            plain += f->size();
            ++frames;
        }
        TSealed out;
        out.Plain = plain;
        if (!tls_->Seal(gathered_.data(), gathered_.size())) {
            lock.unlock();
            Close(TLinkEnd::PeerGone);
            return;
        }
        tls_->TakeOutput(out.Bytes);
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(frames));
        sealed_.push_back(std::move(out));
    }
    if (sealed_.empty()) {
        if (!peerKey_) return; // frames wait for the handshake
        writeActive_ = false;
        if (closeAfterSend_) {
            lock.unlock();
            FinishSending();
        }
        return;
    }
    flushing_ = true;
    lastSend_ = steady_clock::now();
    const TSealed& out = sealed_.front(); // stays where it is while the write is out
    lock.unlock();
    asio::async_write(socket_, asio::buffer(out.Bytes),
                      [this, self = shared_from_this()](asio::error_code ec, size_t) {
                          if (!Written(ec)) return;
                          {
                              std::lock_guard guard(sendMutex_);
                              unsentBytes_ -= sealed_.front().Plain;
                              sealed_.pop_front();
                              flushing_ = false;
                          }
                          Write();
                      });
}

void TDPLink::CloseAfterSend(int maxMs) {
    std::unique_lock lock(sendMutex_);
    if (!open_ || closeAfterSend_) return;
    closeAfterSend_ = true;
    draining_ = true;
    drainStarted_ = steady_clock::now();
    drainFor_ = milliseconds(maxMs);
    bool idle = !writeActive_;
    lock.unlock();
    // Input is dropped from now on, so a full receive queue no longer holds it back.
    paused_ = false;
    if (!reading_) Read();
    if (idle) FinishSending();
}

void TDPLink::FinishSending() {
    {
        std::lock_guard lock(sendMutex_);
        if (!open_ || !sendOpen_) return;
        sendOpen_ = false;
        // Our end of stream follows the last frame; the peer closes in turn.
        // Closing before that, with its frames (pings) unread or still to
        // come, would reset the connection and drop what we sent.
        asio::error_code ec;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
        shutDown_ = !ec;
        if (!ec) return;
    }
    Close(TLinkEnd::Local);
}

void TDPLink::WhenClosed(std::function<void()> fn) {
    if (!open_) {
        fn();
        return;
    }
    whenClosed_.push_back(std::move(fn));
}

void TDPLink::Close(TLinkEnd why) {
    if (!open_) return;
    open_ = false;
    if (draining_) why = TLinkEnd::Local; // we had already let it go
    asio::error_code ec;
    timer_.cancel();
    {
        // No direct write may meet a closed (or reused) descriptor.
        std::lock_guard lock(sendMutex_);
        sendOpen_ = false;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(
            ec); // queued frames stay until the link goes: a cancelled write may still name them
    }
    EndHandler onEnd = std::move(onEnd_);
    onEnd_ = nullptr;
    if (!dispatching_) onFrame_ = nullptr;
    if (why != TLinkEnd::Local && onEnd) onEnd(why);
    auto closed = std::move(whenClosed_);
    whenClosed_.clear();
    for (auto& fn : closed)
        fn();
}

void TDPLink::FrameProgress(steady_clock::time_point now, bool completed) {
    const auto gap = std::min(duration_cast<milliseconds>(now - frameLastBytes_),
                              milliseconds(proto::kFrameGapCountedMs));
    frameLastBytes_ = now;
    if (decoder_.Pending() == 0) {
        inFrame_ = false;
    } else if (!inFrame_ || completed) {
        // This read began the frame now pending.
        inFrame_ = true;
        frameTaken_ = milliseconds(0);
    } else {
        frameTaken_ += gap;
    }
}

bool TDPLink::FrameOverdue(steady_clock::time_point now) const {
    if (!inFrame_ || paused_ || draining_) return false;
    const auto taken = frameTaken_ + std::min(duration_cast<milliseconds>(now - frameLastBytes_),
                                              milliseconds(proto::kFrameGapCountedMs));
    const uint64_t length = decoder_.PendingLength();
    const auto allowed = milliseconds(proto::kFrameFloorMs) +
                         milliseconds(length * 1000 / proto::kFrameMinBytesPerSecond);
    return taken > allowed;
}

int64_t TDPLink::SilentMs() const {
    return duration_cast<milliseconds>(steady_clock::now() - lastReceive_).count();
}

void TDPLink::Tick() {
    timer_.expires_after(milliseconds(250));
    auto self = shared_from_this();
    timer_.async_wait([this, self](asio::error_code ec) {
        if (ec || !open_) return;
        auto now = steady_clock::now();
        if (draining_) {
            // Bytes leaving the socket's queue were taken by the peer.
            int queued = 0;
            if (::ioctl(socket_.native_handle(), SIOCOUTQ, &queued) == 0) {
                if (socketQueued_ >= 0 && queued < socketQueued_) lastTaken_ = now;
                socketQueued_ = queued;
            }
            if (now - std::max(drainStarted_, lastTaken_) > drainFor_) {
                Close(TLinkEnd::Local); // a peer that neither reads nor closes
                return;
            }
        }
        if (FrameOverdue(now)) {
            Close(TLinkEnd::Timeout);
            return;
        }
        if (!established_) {
            if (now - started_ > milliseconds(proto::kHandshakeTimeoutMs)) {
                Close(TLinkEnd::Timeout);
                return;
            }
        } else if (ownKeepalive_) {
            if (!paused_ && now - lastReceive_ > milliseconds(proto::kKeepaliveTimeoutMs)) {
                Close(TLinkEnd::Timeout);
                return;
            }
            bool idle;
            {
                std::lock_guard lock(sendMutex_);
                idle =
                    !writeActive_ && now - lastSend_ >= milliseconds(proto::kKeepaliveIntervalMs);
            }
            if (idle) Send(proto::EncodeEmpty(proto::PING));
        }
        Tick();
    });
}

} // namespace dplay
