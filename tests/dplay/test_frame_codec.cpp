// The frame decoder and the message codecs: every split of the stream gives
// the same frames, every cut-short body is refused, bounds hold before any
// allocation.
#include "dplay/api/DirectPlay.h"
#include "dplay/protocol/DPFrameDecoder.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/protocol/DPProtocol2.h"

#include <gtest/gtest.h>

using namespace dplay;
using namespace dplay::proto;
// Not proto2: GoogleTest has a namespace of that name.
namespace p2 = dplay::proto2;

namespace {

struct Seen {
    uint8_t Type;
    std::vector<uint8_t> Body;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> DecodeInPieces(const std::vector<uint8_t>& stream, size_t piece, bool* ok) {
    TDPFrameDecoder decoder(p2::kMaxFrame);
    std::vector<Seen> seen;
    *ok = true;
    for (size_t i = 0; i < stream.size() && *ok; i += piece) {
        size_t n = std::min(piece, stream.size() - i);
        *ok = decoder.Feed(stream.data() + i, n, [&](uint8_t t, const uint8_t* b, size_t s) {
            seen.push_back({t, std::vector<uint8_t>(b, b + s)});
            return true;
        });
    }
    return seen;
}

} // namespace

TEST(FrameDecoder, AnySplitGivesTheSameFrames) {
    std::vector<TFrame> frames = {EncodeHello({TGuid::Create()}), EncodeEmpty(PING),
                                  p2::EncodeData(1, "abcd", 4), p2::EncodeData(2, nullptr, 0),
                                  EncodeJoinRefuse(DPERR_SESSIONFULL)};
    std::string big(70000, 'z');
    frames.push_back(p2::EncodeData(3, big.data(), static_cast<uint32_t>(big.size())));
    std::vector<uint8_t> stream;
    for (auto& f : frames)
        stream.insert(stream.end(), f->begin(), f->end());
    bool ok;
    auto whole = DecodeInPieces(stream, stream.size(), &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(whole.size(), frames.size());
    EXPECT_EQ(whole[5].Body.size(), 8 + big.size());
    for (size_t piece : {1, 2, 3, 5, 7, 4096}) {
        auto split = DecodeInPieces(stream, piece, &ok);
        ASSERT_TRUE(ok) << piece;
        EXPECT_EQ(split, whole) << piece;
    }
}

TEST(FrameDecoder, LengthsOutsideTheBoundAreRefusedFromTheirFourBytes) {
    for (uint32_t length : {0u, 8193u, 0xFFFFFFFFu}) {
        TDPFrameDecoder decoder(kMaxHandshakeFrame);
        uint8_t head[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                           uint8_t(length >> 24)};
        bool called = false;
        EXPECT_FALSE(decoder.Feed(head, 4, [&](uint8_t, const uint8_t*, size_t) {
            called = true;
            return true;
        })) << length;
        EXPECT_FALSE(called);
    }
    // Exactly at the bound is fine: a RELAY around the largest block fits it.
    TDPFrameDecoder decoder(p2::kMaxFrame);
    std::string block(kMaxBlock, 'q');
    auto data = p2::EncodeData(1, block.data(), static_cast<uint32_t>(block.size()));
    auto frame = p2::EncodeRelay(7, p2::DATA, data->data() + 5, data->size() - 5);
    ASSERT_EQ(frame->size(), 4 + size_t(p2::kMaxFrame));
    size_t got = 0;
    EXPECT_TRUE(decoder.Feed(frame->data(), frame->size(), [&](uint8_t, const uint8_t*, size_t s) {
        got = s;
        return true;
    }));
    EXPECT_EQ(got, p2::kMaxFrame - 1);
    // A frame in progress declares its length once its four bytes are in.
    TDPFrameDecoder partial(p2::kMaxFrame);
    auto none = [](uint8_t, const uint8_t*, size_t) { return true; };
    EXPECT_TRUE(partial.Feed(frame->data(), 3, none));
    EXPECT_EQ(partial.PendingLength(), 0u);
    EXPECT_TRUE(partial.Feed(frame->data() + 3, 100, none));
    EXPECT_EQ(partial.PendingLength(), p2::kMaxFrame);
    EXPECT_EQ(partial.Pending(), 103u);
    // One byte more is refused from the four length bytes.
    TDPFrameDecoder tight(p2::kMaxFrame - 1);
    EXPECT_FALSE(
        tight.Feed(frame->data(), 4, [](uint8_t, const uint8_t*, size_t) { return true; }));
}

TEST(Protocol, MessagesRoundTripAndCutBodiesAreRefused) {
    TRoomInfo room{TGuid::Create(), TGuid::Create(), 4711, 10, 3, "\x95\x5C room"};

    auto body = [](const TFrame& f) { return std::vector<uint8_t>(f->begin() + 5, f->end()); };
    auto checkCuts = [&](const TFrame& f, auto decode) {
        auto b = body(f);
        EXPECT_TRUE(decode(b.data(), b.size()).has_value());
        for (size_t n = 0; n < b.size(); ++n)
            EXPECT_FALSE(decode(b.data(), n).has_value()) << "cut at " << n;
        b.push_back(0);
        EXPECT_FALSE(decode(b.data(), b.size()).has_value()) << "trailing byte";
    };

    auto r = DecodeRoomAdd(body(EncodeRoomAdd(room)).data(), body(EncodeRoomAdd(room)).size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Name, room.Name);
    EXPECT_EQ(r->Instance, room.Instance);
    EXPECT_EQ(r->Port, 4711);
    checkCuts(EncodeRoomAdd(room), DecodeRoomAdd);
    checkCuts(EncodeEnumReply({room, room}), DecodeEnumReply);
    checkCuts(EncodeJoinAccept(room), DecodeJoinAccept);
    checkCuts(EncodeJoinRequest(room.Instance), DecodeJoinRequest);
    checkCuts(EncodeJoinRefuse(DPERR_SESSIONFULL), DecodeJoinRefuse);
    checkCuts(EncodeRoomRemove(room.Instance), DecodeRoomRemove);
    checkCuts(EncodeCreatePlayer({5000, "name"}), DecodeCreatePlayer);
    checkCuts(EncodeHello({room.Application}), DecodeHello);

    auto refused = body(EncodeJoinRefuse(DPERR_SESSIONFULL));
    EXPECT_EQ(DecodeJoinRefuse(refused.data(), refused.size()), DPERR_SESSIONFULL);
    auto created = body(EncodeCreatePlayer({5000, "\x83\x5C name"}));
    auto c = DecodeCreatePlayer(created.data(), created.size());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ListenPort, 5000);
    EXPECT_EQ(c->Name, "\x83\x5C name");

    // A wrong magic or version is not a HELLO.
    auto hello = body(EncodeHello({room.Application}));
    hello[0] ^= 1;
    EXPECT_FALSE(DecodeHello(hello.data(), hello.size()));
    hello = body(EncodeHello({room.Application}));
    hello[8] = 99;
    EXPECT_FALSE(DecodeHello(hello.data(), hello.size()));
    // A count larger than the list allows is refused before reading on.
    std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(DecodeEnumReply(huge.data(), huge.size()));
}
