#pragma once
// A raw TCP client of the session service, speaking frames by hand.
#include "dplay/links/DPTls.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/protocol/DPProtocol2.h"

#include <asio.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace dplaytest {
using namespace dplay;
// Not proto2: GoogleTest has a namespace of that name.
namespace p2 = dplay::proto2;

// A HELLO frame that says `version`, the protocol's own or another.
inline std::vector<uint8_t> RawHello(const TGuid& application, uint16_t version = p2::kVersion) {
    auto bytes = *p2::EncodeHello({application});
    bytes[5 + 8] = uint8_t(version); // after length, type and magic
    bytes[5 + 9] = uint8_t(version >> 8);
    return bytes;
}

// A raw client of the session service over TLS (or in the clear, to see
// that refused), with a key of its own; Closed() tells whether the service
// cut it off in time. Writes may come from another thread than reads.
struct TRaw {
    asio::io_context io;
    asio::ip::tcp::socket s{io};
    TRaw() = default; // to be connected by an acceptor, then Limit() and Secure(true)
    explicit TRaw(uint16_t port, bool clear = false) {
        s.connect({asio::ip::make_address("127.0.0.1"), port});
        Limit();
        if (!clear) Secure(false);
    }
    // From a source address of its own (127.0.0.x), as another machine would.
    TRaw(uint16_t port, const char* source) {
        s.open(asio::ip::tcp::v4());
        s.bind({asio::ip::make_address(source), 0});
        s.connect({asio::ip::make_address("127.0.0.1"), port});
        Limit();
        Secure(false);
    }
    ~TRaw() {
        if (ssl_) SSL_free(ssl_);
    }
    TRaw(const TRaw&) = delete;
    TRaw& operator=(const TRaw&) = delete;

    // The key every raw client of this process shows unless told otherwise.
    static TDPTls& TestKey() {
        static std::unique_ptr<TDPTls> key = [] {
            std::signal(SIGPIPE, SIG_IGN); // a write to a link the service cut must fail, not kill
            return TDPTls::Ephemeral();
        }();
        return *key;
    }
    // The TLS handshake, as the end that dialled or the one that accepted.
    bool Secure(bool accepted, TDPTls& key = TestKey()) {
        ssl_ = SSL_new(key.Context().native_handle());
        SSL_set_fd(ssl_, s.native_handle());
        const int r = accepted ? SSL_accept(ssl_) : SSL_connect(ssl_);
        if (r != 1) {
            SSL_free(ssl_);
            ssl_ = nullptr;
            return false;
        }
        return true;
    }
    std::optional<p2::TKeyId> PeerKey() const {
        return ssl_ ? TDPTls::PeerKey(ssl_) : std::nullopt;
    }
    // HELLO (saying `version`) and a request in one write, as a member sends them.
    void Request(const TGuid& application, const proto::TFrame& request,
                 uint16_t version = p2::kVersion) {
        auto bytes = RawHello(application, version);
        bytes.insert(bytes.end(), request->begin(), request->end());
        Write(bytes.data(), bytes.size());
    }
    void Limit() {
        timeval tv{20, 0}; // far beyond every bound of the service
        ::setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    // False once the link is broken.
    bool TryWrite(const void* p, size_t n) {
        if (!ssl_) return WriteRaw(p, n);
        std::lock_guard lock(mutex_);
        while (n) {
            const int put = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 20)));
            if (put <= 0) return false;
            p = static_cast<const uint8_t*>(p) + put;
            n -= static_cast<size_t>(put);
        }
        return true;
    }
    void Write(const void* p, size_t n) {
        if (!TryWrite(p, n)) throw std::runtime_error("the raw link is broken");
    }
    // The TLS records that would carry these bytes, made but not sent, for a
    // test to cut or spoil before it puts them on the socket with WriteRaw.
    std::vector<uint8_t> Seal(const void* p, size_t n) {
        std::lock_guard lock(mutex_);
        BIO* socket = SSL_get_wbio(ssl_);
        BIO_up_ref(socket);
        SSL_set0_wbio(ssl_, BIO_new(BIO_s_mem()));
        std::vector<uint8_t> records;
        if (SSL_write(ssl_, p, static_cast<int>(n)) == static_cast<int>(n)) {
            char* at = nullptr;
            const long size = BIO_get_mem_data(SSL_get_wbio(ssl_), &at);
            records.assign(at, at + size);
        }
        SSL_set0_wbio(ssl_, socket); // the reference taken above goes with it
        return records;
    }
    // Asks the other end for new keys (TLS 1.3 KeyUpdate, update_requested):
    // now, or ahead of the next record written or sealed.
    bool RequestKeyUpdate(bool now = true) {
        std::lock_guard lock(mutex_);
        return SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED) == 1 &&
               (!now || SSL_do_handshake(ssl_) == 1);
    }
    // Bytes straight onto the socket, under no record of ours.
    bool WriteRaw(const void* p, size_t n) {
        asio::error_code ec;
        asio::write(s, asio::buffer(p, n), ec);
        return !ec;
    }
    void Write(const proto::TFrame& f) { Write(f->data(), f->size()); }
    struct Frame {
        uint8_t Type = 0;
        std::vector<uint8_t> Body;
    };
    // The next frame but pings; none at the end of the stream.
    std::optional<Frame> Read() {
        for (;;) {
            uint8_t head[5];
            if (!ReadAll(head, 5)) return std::nullopt;
            uint32_t length = head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24;
            if (length == 0 || length > p2::kMaxFrame) return std::nullopt;
            Frame f{head[4], std::vector<uint8_t>(length - 1)};
            if (!ReadAll(f.Body.data(), f.Body.size())) return std::nullopt;
            if (f.Type != proto::PING) return f;
        }
    }
    // The next frame of a type, others skipped; none at the end of the stream.
    std::optional<Frame> ReadUntil(uint8_t type) {
        for (;;) {
            auto f = Read();
            if (!f || f->Type == type) return f;
        }
    }
    bool ReadAll(uint8_t* p, size_t n) {
        while (n) {
            ssize_t got = ReadSome(p, n);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    // Whether the link has ended (end of stream, reset, or a broken record)
    // rather than gone quiet for the read time limit.
    bool Closed() {
        char buf[4096];
        for (;;) {
            errno = 0;
            ssize_t n = ReadSome(buf, sizeof buf);
            if (n == 0) return true;
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
    // Bytes read: > 0; 0 at the end of the stream; < 0 on a reset, a broken
    // record, or nothing for the read time limit (errno EAGAIN).
    ssize_t ReadSome(void* p, size_t n) {
        if (!ssl_) return ::recv(s.native_handle(), p, n, 0);
        for (;;) {
            {
                // Waiting for bytes happens outside the lock, so that writes go on.
                std::lock_guard lock(mutex_);
                pollfd ready{s.native_handle(), POLLIN, 0};
                if (SSL_pending(ssl_) > 0 || ::poll(&ready, 1, 0) > 0) {
                    ERR_clear_error();
                    const int got = SSL_read(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 20)));
                    if (got > 0) return got;
                    const int error = SSL_get_error(ssl_, got);
                    if (error == SSL_ERROR_ZERO_RETURN) return 0;
                    if (error == SSL_ERROR_WANT_READ) continue; // a record's handshake message
                    if (error == SSL_ERROR_SYSCALL && errno == 0) return 0;
                    if (error == SSL_ERROR_SSL) errno = EPROTO;
                    return -1;
                }
            }
            pollfd wait{s.native_handle(), POLLIN, 0};
            if (::poll(&wait, 1, 20000) == 0) {
                errno = EAGAIN;
                return -1;
            }
        }
    }

  private:
    SSL* ssl_ = nullptr;
    std::mutex mutex_;
};

// The rooms a directory lists, asked by hand.
inline std::vector<proto::TRoomInfo> RawEnumerate(uint16_t port, const TGuid& application,
                                                  uint16_t version = p2::kVersion) {
    TRaw raw(port);
    raw.Request(application, proto::EncodeEmpty(proto::ENUM_REQUEST), version);
    auto hello = raw.Read();
    auto reply = raw.Read();
    if (!hello || !reply || reply->Type != proto::ENUM_REPLY) return {};
    auto rooms = proto::DecodeEnumReply(reply->Body.data(), reply->Body.size());
    return rooms ? *rooms : std::vector<proto::TRoomInfo>{};
}

// Asks for a place in a room (HELLO, JOIN_REQUEST); true when it was given.
inline bool RawAskToJoin(TRaw& raw, const TGuid& application, const TGuid& instance,
                         uint16_t version = p2::kVersion) {
    raw.Request(application, proto::EncodeJoinRequest(instance), version);
    auto hello = raw.Read();
    auto accept = raw.Read();
    return hello && hello->Type == proto::HELLO && accept && accept->Type == proto::JOIN_ACCEPT;
}

// Enters a room by hand; the welcome, or none when it was not given.
inline std::optional<p2::TWelcome> RawJoin2(TRaw& raw, const TGuid& application,
                                            const TGuid& instance, uint16_t listenPort,
                                            const std::string& name) {
    if (!RawAskToJoin(raw, application, instance, p2::kVersion)) return std::nullopt;
    raw.Write(proto::EncodeCreatePlayer({listenPort, name}));
    auto welcome = raw.Read();
    if (!welcome || welcome->Type != p2::WELCOME) return std::nullopt;
    return p2::DecodeWelcome(welcome->Body.data(), welcome->Body.size());
}

// Blocks: DATA to the link's other end, RELAY to a peer through the host.
inline proto::TFrame RawData2(uint64_t seq, const std::string& text) {
    return p2::EncodeData(seq, text.data(), uint32_t(text.size()));
}
inline proto::TFrame RawRelay2(uint32_t peer, uint64_t seq, const std::string& text) {
    auto data = RawData2(seq, text);
    return p2::EncodeRelay(peer, p2::DATA, data->data() + 5, data->size() - 5);
}
// A relayed or direct DATA frame's block (peer: the relayed sender); none if
// the frame is not one.
inline std::optional<std::string> RawBlock2(const TRaw::Frame& f, uint32_t* peer = nullptr,
                                            uint64_t* seq = nullptr) {
    std::optional<p2::TData> data;
    if (f.Type == p2::DATA) data = p2::DecodeData(f.Body.data(), f.Body.size());
    if (f.Type == p2::RELAY) {
        auto relay = p2::DecodeRelay(f.Body.data(), f.Body.size());
        if (relay && relay->InnerType == p2::DATA) {
            if (peer) *peer = relay->Peer;
            data = p2::DecodeData(relay->InnerBody.data(), relay->InnerBody.size());
        }
    }
    if (!data) return std::nullopt;
    if (seq) *seq = data->Seq;
    return std::string(data->Block.begin(), data->Block.end());
}

// A member played by hand: it enters through the host with member port 0,
// so that nobody dials it and the others reach it through the host, and it
// numbers its blocks per peer as an honest member does.
struct TRawMember {
    TRaw raw;
    p2::TWelcome welcome;
    std::map<uint32_t, uint64_t> seq, delivered;

    TRawMember(uint16_t port, const char* source) : raw(port, source) {}
    uint32_t Id() const { return welcome.YourId; }
    // The secret of our pair with `with`, which the host gave us alone.
    p2::TSecret Secret(uint32_t with) const {
        for (size_t i = 0; i < welcome.View.Members.size(); ++i)
            if (welcome.View.Members[i].Id == with) return welcome.Secrets[i];
        return {};
    }
    uint32_t Host() const { return welcome.View.HostId; }
    bool Enter(const TGuid& application, const TGuid& instance) {
        auto w = RawJoin2(raw, application, instance, 0, "raw");
        if (w) welcome = *w;
        return w.has_value();
    }
    // DATA to the host, RELAY through it to anyone else.
    void Send(uint32_t to, const std::string& text) {
        const uint64_t n = ++seq[to];
        raw.Write(to == Host() ? RawData2(n, text) : RawRelay2(to, n, text));
    }
    // The next block for us on the host link, and who the host says sent
    // it. A sender resends what we did not acknowledge when its route
    // changes: what was had already is dropped.
    std::string Next(uint32_t* from) {
        for (;;) {
            auto f = raw.Read();
            if (!f) return "(closed)";
            uint32_t peer = Host();
            uint64_t n = 0;
            auto block = RawBlock2(*f, &peer, &n);
            if (!block || n <= delivered[peer]) continue;
            delivered[peer] = n;
            *from = peer;
            return *block;
        }
    }
};


// A member played by hand that keeps its link to the host alive with a PING
// every half second and reads nothing, acknowledges nothing.
class TDeafMember {
  public:
    TDeafMember(uint16_t port, const char* source) : Member(port, source) {}
    ~TDeafMember() { StopPinging(); }
    TDeafMember(const TDeafMember&) = delete;
    TDeafMember& operator=(const TDeafMember&) = delete;
    // Enters the one room the host at `port` lists, and starts pinging.
    bool Enter(uint16_t port, const TGuid& application) {
        auto rooms = RawEnumerate(port, application);
        if (rooms.size() != 1 || !Member.Enter(application, rooms[0].Instance)) return false;
        pinger_ = std::thread([this] {
            const auto ping = p2::EncodeEmpty(p2::PING);
            std::unique_lock lock(mutex_);
            while (!stopped_.wait_for(lock, std::chrono::milliseconds(500), [&] { return stop_; })) {
                Member.raw.TryWrite(ping->data(), ping->size());
            }
        });
        return true;
    }
    void StopPinging() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (pinger_.joinable()) pinger_.join();
    }
    // Its link ends with what it was sent unread.
    void Leave() {
        StopPinging();
        asio::error_code ec;
        Member.raw.s.close(ec);
    }

    TRawMember Member;

  private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread pinger_;
};

} // namespace dplaytest
