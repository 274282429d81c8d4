// The link's TLS engine: records cut anywhere by the network, what TLS
// itself has to say while the link reads, and senders on other threads
// sealing while the I/O thread opens, against a peer that is plain OpenSSL
// on a socket (what a peer using any other TLS stack looks like).
#include "RawClient.h"
#include "dplay/links/DPLink.h"
#include "dplay/links/DPTls.h"
#include "dplay/links/DPTlsEngine.h"
#include "dplay/service/DPService.h"
#include "support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <netinet/tcp.h>
#include <string>
#include <thread>
#include <vector>

using namespace dplay;
using namespace dplaytest;
using Step = TDPTlsEngine::TStep;

namespace {

// The bytes of block `seq`: its length and content both follow from seq,
// so a block cut, doubled or swapped shows.
std::string BlockOf(uint64_t seq, size_t maxSize) {
    std::string block((seq * 7919) % maxSize + 1, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char('a' + (seq + i) % 26);
    return block;
}

// One end of an engine pair, with what it opened so far.
struct TEnd {
    std::unique_ptr<TDPTls> Key = TDPTls::Ephemeral();
    TDPTlsEngine Engine;
    std::string Opened;
    int Opens = 0; // Open calls that gave bytes
    explicit TEnd(bool server) : Engine(Key->Context().native_handle(), server) {}

    // Takes `bytes` as the network hands them over, `cut` at a time;
    // false when TLS failed on them.
    bool Take(const std::vector<uint8_t>& bytes, size_t cut) {
        for (size_t at = 0; at < bytes.size(); at += cut) {
            Engine.Feed(bytes.data() + at, std::min(cut, bytes.size() - at));
            if (!Engine.Handshaken()) {
                if (Engine.Handshake() == Step::Failed) return false;
                if (!Engine.Handshaken()) continue;
            }
            uint8_t buffer[1 << 14];
            for (;;) {
                size_t got = 0;
                const Step step = Engine.Open(buffer, sizeof buffer, got);
                if (step == Step::More) break;
                if (step != Step::Done) return false;
                Opened.append(reinterpret_cast<char*>(buffer), got);
                ++Opens;
            }
        }
        return true;
    }
    std::vector<uint8_t> Output() {
        std::vector<uint8_t> out;
        Engine.TakeOutput(out);
        return out;
    }
};

// Runs the handshake between two engines, the network cutting every
// flight into pieces of `cut` bytes.
void Handshake(TEnd& client, TEnd& server, size_t cut) {
    ASSERT_EQ(client.Engine.Handshake(), Step::More);
    for (int flight = 0; flight < 6; ++flight) {
        ASSERT_TRUE(server.Take(client.Output(), cut)) << "flight " << flight;
        ASSERT_TRUE(client.Take(server.Output(), cut)) << "flight " << flight;
        if (client.Engine.Handshaken() && server.Engine.Handshaken()) return;
    }
    FAIL() << "the handshake did not end";
}

} // namespace

TEST(TlsEngine, RecordsCutAnywhereOpenWholeAndOnlyOnceComplete) {
    for (size_t cut : {size_t(1), size_t(7), size_t(4096)}) {
        SCOPED_TRACE("cut " + std::to_string(cut));
        TEnd client(false), server(true);
        Handshake(client, server, cut);
        // Each end holds the other's key as the handshake proved it.
        EXPECT_EQ(TDPTls::PeerKey(server.Engine.Native()), client.Key->OwnKey());
        EXPECT_EQ(TDPTls::PeerKey(client.Engine.Native()), server.Key->OwnKey());

        // One small record, then one seal spanning several records.
        const std::string small = BlockOf(1, 100), large = BlockOf(2, 60000) + BlockOf(3, 60000);
        ASSERT_TRUE(client.Engine.Seal(reinterpret_cast<const uint8_t*>(small.data()), small.size()));
        std::vector<uint8_t> record = client.Output();
        ASSERT_GT(record.size(), small.size());
        // Everything but the record's last byte opens nothing.
        std::vector<uint8_t> head(record.begin(), record.end() - 1), last(record.end() - 1, record.end());
        ASSERT_TRUE(server.Take(head, cut));
        EXPECT_EQ(server.Opens, 0);
        EXPECT_TRUE(server.Opened.empty());
        ASSERT_TRUE(server.Take(last, cut));
        EXPECT_EQ(server.Opened, small);

        ASSERT_TRUE(client.Engine.Seal(reinterpret_cast<const uint8_t*>(large.data()), large.size()));
        ASSERT_TRUE(server.Take(client.Output(), cut));
        EXPECT_EQ(server.Opened, small + large);
        // And the other way, as both directions share one object.
        ASSERT_TRUE(server.Engine.Seal(reinterpret_cast<const uint8_t*>(large.data()), large.size()));
        ASSERT_TRUE(client.Take(server.Output(), cut));
        EXPECT_EQ(client.Opened, large);
    }
}

TEST(TlsEngine, ARecordThatDoesNotOpenFailsAndLeavesAnAlertForThePeer) {
    TEnd client(false), server(true);
    Handshake(client, server, 4096);
    const std::string text = BlockOf(4, 500);
    ASSERT_TRUE(client.Engine.Seal(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    std::vector<uint8_t> record = client.Output();
    record[record.size() / 2] ^= 0x40;
    EXPECT_FALSE(server.Take(record, record.size()));
    EXPECT_TRUE(server.Opened.empty());
    EXPECT_GT(server.Engine.OutputSize(), 0u) << "no alert for the peer";
    // Nothing more is sealed on a broken state.
    EXPECT_FALSE(server.Engine.Seal(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

namespace {

// A link over TLS on the service's I/O thread, dialled to a raw OpenSSL
// peer; what the link takes is kept by sequence number.
class TTlsLinkPair {
  public:
    explicit TTlsLinkPair(int peerReceiveBuffer = 0) {
        asio::ip::tcp::acceptor acceptor(raw_.io, {asio::ip::make_address("127.0.0.1"), 0});
        if (peerReceiveBuffer > 0)
            acceptor.set_option(asio::socket_base::receive_buffer_size(peerReceiveBuffer));
        asio::ip::tcp::socket own(service_->Io());
        own.connect(acceptor.local_endpoint());
        acceptor.accept(raw_.s);
        raw_.Limit();
        service_->RunSync([&] {
            link_ = std::make_shared<TDPLink>(std::move(own), &key_->Context(), false);
            link_->Start(
                [this](uint8_t type, const uint8_t* body, size_t size) {
                    auto data = type == p2::DATA ? p2::DecodeData(body, size) : std::nullopt;
                    std::lock_guard lock(mutex_);
                    if (!data) {
                        broken_ = true;
                    } else {
                        if (data->Seq != taken_.size() + 1 ||
                            std::string(data->Block.begin(), data->Block.end()) !=
                                BlockOf(data->Seq, kMaxBlock))
                            broken_ = true;
                        taken_.push_back(data->Seq);
                    }
                    changed_.notify_all();
                    return true;
                },
                [this](TLinkEnd why) {
                    std::lock_guard lock(mutex_);
                    ended_ = true;
                    why_ = why;
                    changed_.notify_all();
                });
            link_->HandOverKeepalive(proto::kMaxFrame); // no pings of its own among the frames
            return 0;
        });
        secured_ = raw_.Secure(true);
    }
    ~TTlsLinkPair() {
        service_->RunSync([this] {
            link_->Close();
            link_.reset();
            return 0;
        });
    }
    static constexpr size_t kMaxBlock = 20000;
    static proto::TFrame Frame(uint64_t seq, size_t maxBlock = kMaxBlock) {
        const std::string block = BlockOf(seq, maxBlock);
        return RawData2(seq, block);
    }
    bool Secured() const { return secured_; }
    // Waits until the link took `count` frames (or ended); whether it did,
    // each in order and whole.
    bool Took(size_t count, int timeoutMs = 20000) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return ended_ || broken_ || taken_.size() >= count; });
        return !broken_ && taken_.size() == count;
    }
    // Reads frames off the raw end; whether they are 1..count, each whole.
    bool PeerReads(uint64_t count) {
        for (uint64_t seq = 1; seq <= count; ++seq) {
            auto f = raw_.Read();
            uint64_t got = 0;
            auto block = f ? RawBlock2(*f, nullptr, &got) : std::nullopt;
            if (!block || got != seq || *block != BlockOf(seq, kMaxBlock)) {
                ADD_FAILURE() << "frame " << seq << (f ? " broken" : " missing");
                return false;
            }
        }
        return true;
    }

    TRaw raw_;
    std::shared_ptr<TDPLink> link_;

  private:
    std::shared_ptr<TDPService> service_ = TDPService::Acquire();
    std::unique_ptr<TDPTls> key_ = TDPTls::Ephemeral();
    bool secured_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint64_t> taken_;
    bool broken_ = false, ended_ = false;
    std::optional<TLinkEnd> why_;

  public:
    std::optional<TLinkEnd> Ended() {
        std::lock_guard lock(mutex_);
        return why_;
    }
};

} // namespace

TEST(SealedLink, NewKeysThePeerAsksForAreTakenOnBothPathsOfTheLink) {
    TTlsLinkPair pair;
    ASSERT_TRUE(pair.Secured());
    // A message of TLS's own in the same read as a frame: the link opens
    // the frame behind it under the peer's new keys, and its answer goes
    // ahead of the next frame it seals on this thread, which the peer opens
    // only with the keys it announced.
    ASSERT_TRUE(pair.raw_.RequestKeyUpdate(false));
    auto records = pair.raw_.Seal(TTlsLinkPair::Frame(1)->data(), TTlsLinkPair::Frame(1)->size());
    ASSERT_TRUE(pair.raw_.WriteRaw(records.data(), records.size()));
    ASSERT_TRUE(pair.Took(1));
    pair.link_->Send(TTlsLinkPair::Frame(1));
    EXPECT_TRUE(pair.PeerReads(1));
    pair.raw_.Write(TTlsLinkPair::Frame(2));
    EXPECT_TRUE(pair.Took(2));
}

TEST(SealedLink, RecordsArrivingInPiecesAreTakenWholeOnceComplete) {
    TTlsLinkPair pair;
    ASSERT_TRUE(pair.Secured());
    int one = 1;
    ::setsockopt(pair.raw_.s.native_handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Two frames in records of their own, the first record's header and a
    // few bytes alone, then the rest a byte at a time across both.
    auto first = TTlsLinkPair::Frame(1), second = TTlsLinkPair::Frame(2);
    auto records = pair.raw_.Seal(first->data(), first->size());
    auto more = pair.raw_.Seal(second->data(), second->size());
    ASSERT_FALSE(records.empty());
    ASSERT_FALSE(more.empty());
    ASSERT_TRUE(pair.raw_.WriteRaw(records.data(), 9));
    EXPECT_FALSE(pair.Took(1, 300)) << "a frame out of part of a record";
    records.insert(records.end(), more.begin(), more.end() - 1);
    for (size_t at = 9; at < records.size(); ++at)
        ASSERT_TRUE(pair.raw_.WriteRaw(&records[at], 1));
    EXPECT_TRUE(pair.Took(1));
    ASSERT_TRUE(pair.raw_.WriteRaw(&more.back(), 1));
    EXPECT_TRUE(pair.Took(2));
}

TEST(SealedLink, ARecordThatDoesNotOpenIsAnsweredWithAnAlertBeforeTheEnd) {
    TTlsLinkPair pair;
    ASSERT_TRUE(pair.Secured());
    auto records = pair.raw_.Seal(TTlsLinkPair::Frame(1)->data(), TTlsLinkPair::Frame(1)->size());
    ASSERT_FALSE(records.empty());
    records.back() ^= 0x01; // the tag no longer fits
    ASSERT_TRUE(pair.raw_.WriteRaw(records.data(), records.size()));
    EXPECT_FALSE(pair.Took(1));
    // The peer learns why from TLS itself (an alert record), not from a
    // bare end of stream: read under TLS both would fail alike.
    std::vector<uint8_t> after;
    uint8_t buffer[256];
    for (ssize_t n; (n = ::recv(pair.raw_.s.native_handle(), buffer, sizeof buffer, 0)) > 0;)
        after.insert(after.end(), buffer, buffer + n);
    ASSERT_GE(after.size(), 5u) << "no alert before the end";
    EXPECT_TRUE(after[0] == 0x15 || after[0] == 0x17) << "not a record: " << int(after[0]);
}

TEST(SealedLink, AFullSocketTakesPartOfASealedFrameAndTheRestFollowsWhole) {
    // The peer reads nothing at first, so a direct write meets a full
    // socket in the middle of a record; the rest and every frame queued
    // behind it must follow in order, nothing cut or dropped.
    TTlsLinkPair pair(64 * 1024);
    ASSERT_TRUE(pair.Secured());
    constexpr uint64_t kFrames = 800; // about 8 MiB, far more than the socket holds
    for (uint64_t seq = 1; seq <= kFrames; ++seq)
        pair.link_->Send(TTlsLinkPair::Frame(seq));
    EXPECT_TRUE(pair.PeerReads(kFrames));
}

TEST(SealedLink, APeerThatStopsReadingLosesOnlyFramesNotYetSealed) {
    // Past the unsent bound the link drops what waits and ends with its
    // last words. What was sealed already is on its way in records that
    // must arrive whole: the peer, reading at last, opens every record up
    // to the last words, then the end of the stream.
    TTlsLinkPair pair(64 * 1024);
    ASSERT_TRUE(pair.Secured());
    constexpr uint64_t kNumbered = 400; // about 4 MiB: some sealed, some not when it overflows
    constexpr uint64_t kFiller = kNumbered + 1, kLastWords = kNumbered + 2;
    const std::string lastWords = "last words";
    pair.link_->SetLastWords(RawData2(kLastWords, lastWords));
    for (uint64_t seq = 1; seq <= kNumbered; ++seq)
        pair.link_->Send(TTlsLinkPair::Frame(seq));
    const auto filler = RawData2(kFiller, std::string(1 << 20, 'f'));
    for (uint64_t sent = 0; sent <= proto::kMaxUnsentBytes >> 20; ++sent)
        pair.link_->Send(filler);
    ASSERT_TRUE(testsupport::PollUntil([&] { return pair.Ended().has_value(); }, 10000));
    EXPECT_EQ(*pair.Ended(), TLinkEnd::Timeout);

    uint64_t numbered = 0, fillers = 0;
    bool heardLastWords = false;
    while (auto f = pair.raw_.Read()) {
        ASSERT_FALSE(heardLastWords) << "a frame after the last words";
        uint64_t seq = 0;
        auto block = RawBlock2(*f, nullptr, &seq);
        ASSERT_TRUE(block) << "type " << int(f->Type) << " size " << f->Body.size();
        if (seq == kLastWords) {
            EXPECT_EQ(*block, lastWords);
            heardLastWords = true;
        } else if (seq == kFiller) {
            ++fillers;
        } else {
            ASSERT_EQ(fillers, 0u) << "a numbered frame after the filler";
            ASSERT_EQ(seq, numbered + 1);
            ASSERT_EQ(*block, BlockOf(seq, TTlsLinkPair::kMaxBlock));
            ++numbered;
        }
    }
    EXPECT_TRUE(heardLastWords) << numbered << " numbered and " << fillers << " fillers, then no last words";
    EXPECT_GT(numbered, 0u);
    // The socket was full: at most the record being written and one the
    // socket took in part carried filler; the rest waited unsealed.
    EXPECT_LE(fillers, 2u) << "what waited unsealed was not dropped";
}

TEST(SealedLink, SendersOnOtherThreadsAndTheReaderShareTheTlsState) {
    // The sender seals on its own thread while the I/O thread opens what
    // the peer sends, the peer asking for new keys now and then so that
    // reading writes too. Any record sealed or opened outside the lock, or
    // put out of order, breaks the stream at one end or the other.
    TTlsLinkPair pair;
    ASSERT_TRUE(pair.Secured());
    constexpr uint64_t kFrames = 3000;
    bool peerRead = false;
    std::thread reader([&] { peerRead = pair.PeerReads(kFrames); });
    std::thread peerWriter([&] {
        for (uint64_t seq = 1; seq <= kFrames; ++seq) {
            if (seq % 64 == 0 && !pair.raw_.RequestKeyUpdate()) return;
            const auto frame = TTlsLinkPair::Frame(seq);
            if (!pair.raw_.TryWrite(frame->data(), frame->size())) return;
        }
    });
    for (uint64_t seq = 1; seq <= kFrames; ++seq)
        pair.link_->Send(TTlsLinkPair::Frame(seq));
    peerWriter.join();
    EXPECT_TRUE(pair.Took(kFrames, 60000));
    reader.join();
    EXPECT_TRUE(peerRead);
}
