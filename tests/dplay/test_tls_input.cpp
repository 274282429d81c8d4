// TLS on a link met by peers that do not keep to it: a peer in the clear is
// refused at the handshake, spoiled records end the link at once, a
// handshake left half done is cut at its deadline; no such peer's bytes are
// ever taken as a frame.
#include "Peer.h"
#include "RawClient.h"
#include "dplay/links/DPLink.h"
#include "dplay/links/DPTls.h"

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <openssl/ssl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

using namespace dplay;
using namespace dplaytest;
using namespace std::chrono;

namespace {

// Well under the handshake deadline: what ends "at once" ends by then.
constexpr milliseconds kAtOnce{2500};

std::string Named(TLinkEnd why) {
    switch (why) {
    case TLinkEnd::Local:
        return "Local";
    case TLinkEnd::PeerGone:
        return "PeerGone";
    case TLinkEnd::Timeout:
        return "Timeout";
    case TLinkEnd::Violation:
        return "Violation";
    case TLinkEnd::Insecure:
        return "Insecure";
    }
    return "?";
}

// Whether the connection under a raw peer is closed by the other end within
// `ms` (an alert before the close is read past).
bool SocketEnds(TRaw& raw, milliseconds ms) {
    const auto until = steady_clock::now() + ms;
    for (;;) {
        const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
        pollfd ready{raw.s.native_handle(), POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::recv(raw.s.native_handle(), buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    }
}

// The first bytes a TLS client sends (its ClientHello), and nothing after.
std::vector<uint8_t> ClientHello() {
    SSL* ssl = SSL_new(TRaw::TestKey().Context().native_handle());
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl); // wants to read the answer
    char* at = nullptr;
    const long size = BIO_get_mem_data(out, &at);
    std::vector<uint8_t> hello(at, at + size);
    SSL_free(ssl);
    return hello;
}

// Our end of one link at a time, driven on an I/O thread of the test with a
// key of its own, as the service drives its links: it accepts (the TLS
// server) or dials (the client). What it was given and how it ended are
// kept for the test to look at.
class TlsLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(key);
        thread = std::thread([this] { io.run(); });
    }
    void TearDown() override {
        asio::post(io, [this] {
            if (link) link->Close();
            link.reset();
            acceptor.close();
        });
        work.reset();
        thread.join();
    }

    // Our end accepts the next connection to Port().
    void Listen() {
        Forget();
        acceptor.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
            if (!ec) Start(std::make_shared<TDPLink>(std::move(socket), &key->Context(), true));
        });
    }
    uint16_t Port() const { return acceptor.local_endpoint().port(); }
    // Our end dials `port` (the connection is made at once; the handshake
    // follows on the I/O thread).
    void Dial(uint16_t port) {
        Forget();
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::make_address("127.0.0.1"), port});
        asio::post(io, [this, s = std::make_shared<asio::ip::tcp::socket>(std::move(socket))] {
            Start(std::make_shared<TDPLink>(std::move(*s), &key->Context(), false));
        });
    }
    // Waits for the link to end, up to `ms`; why it ended, none if it did not.
    std::optional<TLinkEnd> Ended(milliseconds ms) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, ms, [&] { return ended.has_value(); });
        return ended;
    }
    milliseconds Lasted() {
        std::lock_guard lock(mutex);
        return duration_cast<milliseconds>(endedAt - started);
    }
    std::vector<uint8_t> Frames() {
        std::lock_guard lock(mutex);
        return frames;
    }
    // Waits until `count` frames came.
    bool Got(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, seconds(5), [&] { return frames.size() >= count; });
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::unique_ptr<TDPTls> key = TDPTls::Ephemeral();
    asio::ip::tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};

  private:
    void Forget() {
        std::lock_guard lock(mutex);
        ended.reset();
        frames.clear();
        started = steady_clock::now();
    }
    // On the I/O thread.
    void Start(std::shared_ptr<TDPLink> next) {
        if (link) link->Close();
        link = std::move(next);
        link->Start(
            [this](uint8_t type, const uint8_t*, size_t) {
                std::lock_guard lock(mutex);
                frames.push_back(type);
                changed.notify_all();
                return true;
            },
            [this](TLinkEnd why) {
                std::lock_guard lock(mutex);
                ended = why;
                endedAt = steady_clock::now();
                changed.notify_all();
            });
    }

    std::thread thread;
    std::shared_ptr<TDPLink> link; // on the I/O thread only
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<TLinkEnd> ended;
    steady_clock::time_point started, endedAt;
    std::vector<uint8_t> frames;
};

} // namespace

TEST_F(TlsLink, APeerSpeakingInTheClearIsRefusedAtTheHandshake) {
    const auto ping = *p2::EncodeEmpty(p2::PING);
    const std::string http = "GET / HTTP/1.1\r\nHost: parlora\r\n\r\n";
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> clear = {
        // An older version's opening: its HELLO and a request, in the clear.
        {"hello of the version before", [] {
             auto bytes = RawHello(kApp, p2::kVersion - 1);
             auto request = *proto::EncodeEmpty(proto::ENUM_REQUEST);
             bytes.insert(bytes.end(), request.begin(), request.end());
             return bytes;
         }()},
        {"hello of this version", RawHello(kApp)},
        {"a ping", ping},
        {"web request", std::vector<uint8_t>(http.begin(), http.end())},
        {"zeros", std::vector<uint8_t>(600, 0)},
    };
    for (const auto& [what, bytes] : clear) {
        Listen();
        TRaw raw(Port(), true);
        ASSERT_TRUE(raw.TryWrite(bytes.data(), bytes.size()));
        auto why = Ended(seconds(10));
        ASSERT_TRUE(why) << what << ": the link never ended";
        EXPECT_EQ(Named(*why), Named(TLinkEnd::Insecure)) << what;
        EXPECT_LT(Lasted(), kAtOnce) << what;
        EXPECT_TRUE(Frames().empty()) << what << ": bytes in the clear were taken as a frame";
        EXPECT_TRUE(raw.Closed()) << what;
    }
}

TEST_F(TlsLink, DiallingAHostThatSpeaksInTheClearFailsAtOnceAsInsecure) {
    // An older version's host: it answers with its HELLO in the clear.
    asio::io_context other;
    asio::ip::tcp::acceptor oldHost(other, {asio::ip::make_address("127.0.0.1"), 0});
    Dial(oldHost.local_endpoint().port());
    TRaw host;
    oldHost.accept(host.s);
    host.Limit();
    const auto hello = RawHello(kApp, p2::kVersion - 1);
    ASSERT_TRUE(host.TryWrite(hello.data(), hello.size()));
    auto why = Ended(seconds(10));
    ASSERT_TRUE(why) << "the link never ended";
    EXPECT_EQ(Named(*why), Named(TLinkEnd::Insecure));
    EXPECT_LT(Lasted(), kAtOnce);
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(host.Closed());
}

TEST_F(TlsLink, SpoiledRecordsAfterTheHandshakeEndTheLinkAtOnce) {
    const auto hello = *p2::EncodeHello({kApp});
    const auto data = *RawData2(1, std::string(3000, 'x'));
    enum class Spoil { FrameInTheClear, Garbage, FlippedInTheMiddle, FlippedTag, ShortenedLength,
                       CutThenClosed };
    const std::vector<std::pair<const char*, Spoil>> spoils = {
        {"a frame in the clear", Spoil::FrameInTheClear},
        {"garbage", Spoil::Garbage},
        {"a byte flipped inside a record", Spoil::FlippedInTheMiddle},
        {"a byte flipped in a record's tag", Spoil::FlippedTag},
        {"a record's length made shorter", Spoil::ShortenedLength},
        {"half a record, then the end of the stream", Spoil::CutThenClosed},
    };
    for (const auto& [what, spoil] : spoils) {
        Listen();
        TRaw raw(Port());
        raw.Write(hello.data(), hello.size()); // an honest frame first
        ASSERT_TRUE(Got(1)) << what;
        std::vector<uint8_t> bytes = raw.Seal(data.data(), data.size());
        ASSERT_GT(bytes.size(), 3000u);
        switch (spoil) {
        case Spoil::FrameInTheClear:
            bytes = data;
            break;
        case Spoil::Garbage:
            bytes.assign(64, 0xAB);
            break;
        case Spoil::FlippedInTheMiddle:
            bytes[bytes.size() / 2] ^= 0x01;
            break;
        case Spoil::FlippedTag:
            bytes.back() ^= 0x80;
            break;
        case Spoil::ShortenedLength: {
            // The record ends early: its tag is taken from the ciphertext.
            const unsigned length = (bytes[3] << 8 | bytes[4]) - 16;
            bytes[3] = uint8_t(length >> 8);
            bytes[4] = uint8_t(length);
            break;
        }
        case Spoil::CutThenClosed:
            bytes.resize(bytes.size() / 2);
            break;
        }
        ASSERT_TRUE(raw.WriteRaw(bytes.data(), bytes.size())) << what;
        if (spoil == Spoil::CutThenClosed) raw.s.shutdown(asio::ip::tcp::socket::shutdown_send);
        const auto spoiled = steady_clock::now();
        auto why = Ended(seconds(10));
        ASSERT_TRUE(why) << what << ": the link never ended";
        EXPECT_NE(Named(*why), Named(TLinkEnd::Local)) << what;
        EXPECT_NE(Named(*why), Named(TLinkEnd::Timeout)) << what;
        EXPECT_LT(steady_clock::now() - spoiled, kAtOnce) << what;
        EXPECT_EQ(Frames(), std::vector<uint8_t>{proto::HELLO})
            << what << ": a spoiled record was taken";
        if (spoil != Spoil::CutThenClosed) {
            EXPECT_TRUE(raw.Closed()) << what;
        }
    }
}

// A record of which half came and the peer went quiet: nothing holds the
// link beyond its bound (here the handshake deadline, the link not yet
// established).
TEST_F(TlsLink, HalfARecordThenSilenceIsCutAtTheDeadline) {
    Listen();
    TRaw raw(Port());
    auto record = raw.Seal("\x05\x00\x00\x00\x07", 5);
    ASSERT_TRUE(raw.WriteRaw(record.data(), record.size() / 2));
    auto why = Ended(milliseconds(proto::kHandshakeTimeoutMs + 3000));
    ASSERT_TRUE(why) << "half a record held the link past its deadline";
    EXPECT_EQ(Named(*why), Named(TLinkEnd::Timeout));
    EXPECT_GE(Lasted(), milliseconds(proto::kHandshakeTimeoutMs));
    EXPECT_TRUE(Frames().empty());
}

TEST_F(TlsLink, AHandshakeBegunAndLeftIsCutAtTheDeadline) {
    Listen();
    TRaw raw(Port(), true);
    const auto hello = ClientHello();
    ASSERT_GT(hello.size(), 5u);
    ASSERT_EQ(hello[0], 0x16) << "not a handshake record";
    ASSERT_TRUE(raw.WriteRaw(hello.data(), hello.size()));
    auto why = Ended(milliseconds(proto::kHandshakeTimeoutMs + 3000));
    ASSERT_TRUE(why) << "a silent handshake held the link past its deadline";
    EXPECT_EQ(Named(*why), Named(TLinkEnd::Timeout));
    EXPECT_GE(Lasted(), milliseconds(proto::kHandshakeTimeoutMs));
    EXPECT_LT(Lasted(), milliseconds(proto::kHandshakeTimeoutMs + 1500));
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(raw.Closed());
}

// The same peers against a live room: each is turned away at once and the
// members go on talking.
class HostileTls : public TRoomOfTwo {};

TEST_F(HostileTls, PeersInTheClearOrSpoilingRecordsAreTurnedAwayAndTheRoomGoesOn) {
    {
        TRaw old(port, true);
        old.Request(kApp, proto::EncodeEmpty(proto::ENUM_REQUEST), p2::kVersion - 1);
        EXPECT_TRUE(SocketEnds(old, kAtOnce)) << "an older version in the clear was not turned away";
    }
    {
        TRaw spoiler(port);
        auto request = RawHello(kApp);
        auto records = spoiler.Seal(request.data(), request.size());
        records[records.size() / 2] ^= 0x01;
        ASSERT_TRUE(spoiler.WriteRaw(records.data(), records.size()));
        EXPECT_TRUE(SocketEnds(spoiler, kAtOnce)) << "a spoiled record was not turned away";
    }
    ExpectTalking(member, host, "after the peers that broke TLS");
}

TEST(TlsDial, AMemberLookingForRoomsAtAHostInTheClearFailsAtOnce) {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    const uint16_t port = FreshPort();
    asio::io_context io;
    asio::ip::tcp::acceptor oldHost(io, {asio::ip::make_address("127.0.0.1"), port});
    // An older version's host: its HELLO in the clear, then it reads until
    // the member goes.
    std::thread serving([&] {
        TRaw joiner;
        oldHost.accept(joiner.s);
        joiner.Limit();
        const auto hello = RawHello(kApp, p2::kVersion - 1);
        joiner.TryWrite(hello.data(), hello.size());
        joiner.Closed();
    });
    TPeer member;
    member.Connect(port, "127.0.0.1");
    DPSESSIONDESC2 d;
    d.guidApplication = kApp;
    bool listed = false;
    const auto start = steady_clock::now();
    const HRESULT hr = member.Dp->EnumSessions(
        d, 0,
        [&](const DPSESSIONDESC2* s, uint32_t*, uint32_t) {
            listed = listed || s;
            return false;
        },
        DPENUMSESSIONS_AVAILABLE);
    EXPECT_EQ(hr, DPERR_NOCONNECTION);
    EXPECT_FALSE(listed);
    EXPECT_LT(steady_clock::now() - start, kAtOnce);
    EXPECT_NE(member.Dp->LastErrorDetail().find("does not speak encrypted links"),
              std::string::npos)
        << member.Dp->LastErrorDetail();
    serving.join();

    // Where nothing listens any more, nothing is said of versions.
    oldHost.close();
    EXPECT_EQ(member.Dp->EnumSessions(
                  d, 0, [](const DPSESSIONDESC2*, uint32_t*, uint32_t) { return false; },
                  DPENUMSESSIONS_AVAILABLE),
              DPERR_NOCONNECTION);
    EXPECT_EQ(member.Dp->LastErrorDetail(), "");
}
