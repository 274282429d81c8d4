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
    : socket_(std::move(socket)), accepted_(accepted), timer_(socket_.get_executor()),
      decoder_(proto::kMaxHandshakeFrame), readBuffer_(64 * 1024) {
    if (tls) {
        tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
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
    if (!tls_) return Read();
    // The handshake deadline of Tick bounds this too.
    tls_->async_handshake(accepted_ ? asio::ssl::stream_base::server
                                    : asio::ssl::stream_base::client,
                          [this, self = shared_from_this()](const asio::error_code& ec) {
                              Handshaken(ec);
                          });
}

void TDPLink::Handshaken(const asio::error_code& ec) {
    if (!open_) return;
    if (!ec) peerKey_ = TDPTls::PeerKey(tls_->native_handle());
    if (ec || !peerKey_) {
        // A reset or end of stream is a peer gone; anything else is a peer
        // that does not speak this (an older version sends its frames in the clear).
        const bool gone = ec == asio::error::eof || ec == asio::error::connection_reset ||
                          ec == asio::ssl::error::stream_truncated;
        Close(gone ? TLinkEnd::PeerGone : TLinkEnd::Insecure);
        return;
    }
    lastReceive_ = steady_clock::now();
    Read();
    Write(); // what was sent meanwhile
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

void TDPLink::Read() {
    // Resume starts reading again; a handler may have started the next read already.
    if (paused_ || reading_) return;
    reading_ = true;
    auto self = shared_from_this();
    auto done = [this, self](asio::error_code ec, size_t n) {
        reading_ = false;
        if (!open_) return;
        if (ec) {
            // The peer closes only once it has read our end of stream (under
            // TLS a stream that ends without close_notify reads as truncated).
            delivered_ = draining_ && shutDown_ &&
                         (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated);
            Close(TLinkEnd::PeerGone);
            return;
        }
        const auto now = lastReceive_ = steady_clock::now();
        if (draining_) { // nobody wants it any more; reading on only keeps the stream clean
            Read();
            return;
        }
        bool completed = false;
        bool ok = decoder_.Feed(readBuffer_.data(), n,
                                [this, &completed](uint8_t t, const uint8_t* b, size_t s) {
                                    completed = true;
                                    return Dispatch(t, b, s);
                                });
        if (!open_) return;
        if (!ok) {
            Close(TLinkEnd::Violation);
            return;
        }
        FrameProgress(now, completed);
        Read();
    };
    if (tls_)
        tls_->async_read_some(asio::buffer(readBuffer_), std::move(done));
    else
        socket_.async_read_some(asio::buffer(readBuffer_), std::move(done));
}

void TDPLink::Send(proto::TFrame frame) {
    std::unique_lock lock(sendMutex_);
    if (!sendOpen_ || closeAfterSend_ || overflowed_) return;
    if (!writeActive_ && tls_) {
        // Only the I/O thread may touch the TLS state.
        writeActive_ = true;
        unsentBytes_ += frame->size();
        queue_.push_back(std::move(frame));
        lock.unlock();
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Write(); });
        return;
    }
    if (!writeActive_) {
        // Nothing ahead of it: try the socket at once, without blocking.
        ssize_t n = ::send(socket_.native_handle(), frame->data(), frame->size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(frame->size())) {
            lastSend_ = steady_clock::now();
            return;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lock.unlock();
            asio::post(socket_.get_executor(),
                       [self = shared_from_this()] { self->Close(TLinkEnd::PeerGone); });
            return;
        }
        if (n > 0) // the rest of this frame goes first
            frame = std::make_shared<const std::vector<uint8_t>>(frame->begin() + n, frame->end());
        writeActive_ = true;
        unsentBytes_ += frame->size();
        queue_.push_back(std::move(frame));
        lock.unlock();
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Write(); });
        return;
    }
    if (unsentBytes_ + frame->size() > proto::kMaxUnsentBytes) {
        // The peer does not read; holding more would let it eat our memory.
        // What has not started going out is dropped, and the last words go
        // in its place, so the peer learns why the link ends when it reads.
        overflowed_ = true;
        const size_t keep = std::max<size_t>(writingCount_, 1); // never half a frame
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
    if (!open_ || !sendOpen_ || (tls_ && !peerKey_)) return;
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
    size_t gathered = 0;
    for (const auto& f : queue_) {
        if (tls_ && !writing_.empty() && gathered + f->size() > kSealedBytes) break;
        writing_.push_back(asio::buffer(*f));
        gathered += f->size();
        if (writing_.size() == 64) break;
    }
    writingCount_ = writing_.size();
    lastSend_ = steady_clock::now();
    if (tls_ && writingCount_ > 1) {
        sealed_.resize(gathered);
        asio::buffer_copy(asio::buffer(sealed_), writing_);
        writing_.assign(1, asio::buffer(sealed_));
    }
    lock.unlock();
    auto self = shared_from_this();
    auto done = [this, self](asio::error_code ec, size_t) {
        if (!open_) return;
        if (ec) {
            Close(TLinkEnd::PeerGone);
            return;
        }
        lastTaken_ = steady_clock::now();
        {
            std::lock_guard guard(sendMutex_);
            for (size_t i = 0; i < writingCount_; ++i) {
                unsentBytes_ -= queue_.front()->size();
                queue_.pop_front();
            }
            writingCount_ = 0;
        }
        Write();
    };
    if (tls_)
        asio::async_write(*tls_, writing_, std::move(done));
    else
        asio::async_write(socket_, writing_, std::move(done));
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
