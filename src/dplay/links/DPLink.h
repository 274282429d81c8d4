#pragma once
#include "dplay/links/DPAddress.h"
#include "dplay/links/DPTlsEngine.h"
#include "dplay/protocol/DPFrameDecoder.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/protocol/DPProtocol2.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace dplay {

// Why a link ended.
enum class TLinkEnd {
    Local,     // we closed it
    PeerGone,  // end of stream or reset: the peer closed or its process ended
    Timeout,   // keepalive or handshake time ran out
    Violation, // the peer broke the protocol
    Insecure,  // no encrypted handshake: the peer speaks another version, or not TLS
};

// One TCP connection carrying frames in TLS, with keepalive. Lives on the
// service's I/O thread; every method must be called there, except Send,
// which any thread may call. Frames sent before the TLS handshake is over
// wait for it; none is read before it.
//
// A sender's block goes out from the sender's own thread, sealed there
// under the lock the reads share, when nothing is queued before it: waking
// the I/O thread for every block would cost more than the cipher.
class TDPLink : public std::enable_shared_from_this<TDPLink> {
  public:
    // Return false from a frame handler after closing the link.
    using FrameHandler = std::function<bool(uint8_t type, const uint8_t* body, size_t size)>;
    using EndHandler = std::function<void(TLinkEnd why)>;

    // tls: the context of both ends' keys, null for a link in the clear;
    // accepted: we took the connection (the TLS server) rather than dialled.
    TDPLink(asio::ip::tcp::socket socket, asio::ssl::context* tls, bool accepted);
    ~TDPLink();

    // Starts the TLS handshake, then reading; frames go to onFrame until the
    // link ends. Until Established() is called the handshake bounds (size
    // and time, the TLS handshake included) apply.
    void Start(FrameHandler onFrame, EndHandler onEnd);
    void SetHandlers(FrameHandler onFrame, EndHandler onEnd);
    // The handshake is over: full frame size, keepalive instead of deadline.
    void Established();
    // Full frame size while the handshake deadline still runs (a dialled
    // link whose request is not answered yet).
    void AllowFullFrames();
    // A room core drives this link: it pings and times the link out itself
    // (a second keepalive here would end links behind its back), and its
    // frames may be up to maxFrame long.
    void HandOverKeepalive(uint32_t maxFrame);

    // Any thread. Frames go out whole and in the order of the calls.
    void Send(proto::TFrame frame);
    // Ends the link at once; the end handler is called with `why` unless
    // why is Local.
    void Close(TLinkEnd why = TLinkEnd::Local);
    // Writes out everything queued, then ends the stream and reads (and
    // drops) what the peer still sends until it closes its side too, so that
    // nothing we sent is lost to a reset. It gives up once the peer has taken
    // nothing for maxMs (a slow reader may take long, a stalled one not
    // forever). The end handler is not called.
    void CloseAfterSend(int maxMs = proto::kKeepaliveTimeoutMs);
    // After CloseAfterSend: the peer closed its side after our end of
    // stream, so it read everything we sent. False while open, and when the
    // link ended any other way.
    bool Delivered() const { return delivered_; }
    // Written last when the link ends because the peer does not read (what
    // waits unsent passed its bound): the frames not yet going out are dropped
    // for it, the end handler is called (Timeout), and the link closes after it.
    void SetLastWords(proto::TFrame frame) { lastWords_ = std::move(frame); }
    // fn runs once when the link is closed, whatever the reason (now, if it
    // is); each fn given runs.
    void WhenClosed(std::function<void()> fn);

    bool IsOpen() const { return open_; }
    // Stops reading (the reader's queue is full) and goes on again. A paused
    // link is not timed out: the silence is ours.
    void Pause() { paused_ = true; }
    void Resume();
    // Milliseconds since the last frame arrived.
    int64_t SilentMs() const;
    asio::ip::address RemoteAddress() const { return remote_; }
    asio::ip::address LocalAddress() const { return local_; }
    // The key the peer proved it holds in the TLS handshake; nullopt before
    // it is over and on a link in the clear.
    const std::optional<proto2::TKeyId>& PeerKey() const { return peerKey_; }
    bool Encrypted() const { return tls_ != nullptr; }

  private:
    // Runs the handshake on what came so far; false once the link is closed.
    bool StepHandshake();
    // Plaintext from the peer to the frame decoder; false on a broken frame.
    bool Deliver(const uint8_t* data, size_t size, bool& completed);
    // With sendMutex_ held: moves what TLS has for the peer behind what waits
    // to go out; true when the I/O thread must write it.
    bool TakeTlsOutputLocked();
    // What TLS has for the peer (its alert) goes out if the socket takes it now.
    void FlushBeforeClose();
    void Read();
    void Write();
    // Write for a TLS link: seals what is queued, writes the oldest records.
    void WriteSealed(std::unique_lock<std::mutex>& lock);
    // A write's end: false when the link is closed or the write broke it.
    bool Written(const asio::error_code& ec);
    void Tick();
    // Keeps the time a frame in progress has taken (see kFrameFloorMs);
    // completed: a frame ended during the read that brought these bytes.
    void FrameProgress(std::chrono::steady_clock::time_point now, bool completed);
    bool FrameOverdue(std::chrono::steady_clock::time_point now) const;
    bool Dispatch(uint8_t type, const uint8_t* body, size_t size);
    void FinishSending();
    void Overflowed();

    asio::ip::tcp::socket socket_;
    // Guarded by sendMutex_ (after construction), whichever thread seals or opens.
    std::unique_ptr<TDPTlsEngine> tls_;
    std::optional<proto2::TKeyId> peerKey_; // set once the handshake is over
    // Records sealed and not yet on the socket (under sendMutex_), each with
    // the plaintext bytes it carries: they go out whole and in order, never
    // dropped, whatever happens to the frames queued behind them.
    struct TSealed {
        std::vector<uint8_t> Bytes;
        size_t Plain = 0;
    };
    std::deque<TSealed> sealed_;
    bool flushing_ = false;          // I/O thread: a write of sealed_.front() is out
    std::vector<uint8_t> gathered_;  // frames gathered for one seal: one record per 16 KiB, not per frame
    std::vector<uint8_t> sealing_;   // a sender's records, under sendMutex_
    std::vector<uint8_t> opened_;    // plaintext out of TLS, I/O thread
    asio::steady_timer timer_;
    asio::ip::address remote_, local_;
    TDPFrameDecoder decoder_;
    FrameHandler onFrame_;
    FrameHandler nextFrame_;
    bool dispatching_ = false;
    EndHandler onEnd_;
    std::vector<uint8_t> readBuffer_;
    // Guards the send side: queue_, sealed_, the TLS engine (reads too),
    // writeActive_, unsentBytes_, closeAfterSend_, sendOpen_, lastSend_, and
    // the socket's descriptor against being closed under a direct write.
    mutable std::mutex sendMutex_;
    std::deque<proto::TFrame> queue_;
    bool writeActive_ = false; // the I/O thread owns the queue until it is empty
    bool sendOpen_ = true;
    std::vector<asio::const_buffer> writing_;
    size_t writingCount_ = 0;
    uint64_t unsentBytes_ = 0;
    bool open_ = true;
    bool established_ = false;
    bool ownKeepalive_ = true;
    uint32_t maxFrame_ = proto::kMaxFrame;
    bool closeAfterSend_ = false;
    bool overflowed_ = false;
    proto::TFrame lastWords_;
    bool paused_ = false;
    bool reading_ = false;
    bool draining_ = false; // CloseAfterSend was called: input is dropped
    bool shutDown_ = false; // our end of stream went out after the last frame
    bool delivered_ = false;
    std::vector<std::function<void()>> whenClosed_;
    std::chrono::steady_clock::time_point started_, lastReceive_, lastSend_, drainStarted_;
    // When the peer last took bytes: a write finished, or the socket's
    // queue shrank (what it holds, as last seen).
    std::chrono::steady_clock::time_point lastTaken_;
    int socketQueued_ = -1;
    std::chrono::milliseconds drainFor_{proto::kKeepaliveTimeoutMs};
    // A frame begun and not yet complete: the time it has taken so far (each
    // pause counted up to kFrameGapCountedMs) and when its last bytes came.
    bool inFrame_ = false;
    std::chrono::milliseconds frameTaken_{0};
    std::chrono::steady_clock::time_point frameLastBytes_;
};

} // namespace dplay
