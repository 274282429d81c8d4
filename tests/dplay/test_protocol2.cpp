// The room's message codecs: what is encoded decodes to the same, and only
// exact bodies decode: cut short, padded, over a bound, naming id 0 or an id
// twice, or with links to members not listed.
#include "dplay/protocol/DPProtocol2.h"
#include "dplay/protocol/DPWireWriter.h"

#include <gtest/gtest.h>

using namespace dplay;
using namespace dplay::proto2;

namespace {

// Members of both families: an odd id is at an IPv6 address.
TNetAddress AddressOf(uint32_t id) {
    if (id % 2 == 0) return TNetAddress::FromIpv4(0x7F000001u + id);
    TNetAddress a;
    a.Bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(id)};
    return a;
}

TViewEntry Entry(uint32_t id, uint32_t join, std::set<uint32_t> links = {}) {
    return TViewEntry{id,
                      join,
                      AddressOf(id),
                      static_cast<uint16_t>(4000 + id),
                      "m" + std::to_string(id),
                      std::move(links)};
}

TWelcome SampleWelcome() {
    TWelcome w;
    w.View.View = 7;
    w.View.HostId = 11;
    w.View.Members = {Entry(11, 0), Entry(22, 1, {33}), Entry(33, 2, {22})};
    w.YourId = 33;
    w.Secrets.resize(3);
    w.Secrets[1].fill(0xA5);
    return w;
}

std::vector<uint8_t> Body(const TFrame& f) {
    return std::vector<uint8_t>(f->begin() + 5, f->end());
}

// Every proper prefix and the body with one byte more are refused.
template <class Decode> void OnlyExact(const TFrame& frame, Decode decode) {
    auto body = Body(frame);
    ASSERT_TRUE(decode(body.data(), body.size()));
    for (size_t n = 0; n < body.size(); ++n)
        EXPECT_FALSE(decode(body.data(), n)) << "cut to " << n << " of " << body.size();
    body.push_back(0);
    EXPECT_FALSE(decode(body.data(), body.size())) << "one byte too many";
}

// A WELCOME body written field by field, for shapes the encoder never makes.
std::vector<uint8_t> RawWelcome(uint32_t yourId, uint32_t hostId,
                                const std::vector<std::pair<uint32_t, uint64_t>>& members,
                                uint32_t count) {
    TDPWireWriter w(WELCOME);
    w.U32(yourId);
    w.U32(1).U32(hostId).U32(count);
    uint32_t join = 0;
    for (auto& [id, mask] : members)
        w.U32(id)
            .U32(join++)
            .Raw(TNetAddress{}.Bytes.data(), 16)
            .U16(1)
            .Raw(TKeyId{}.data(), 32)
            .U32(uint32_t(mask))
            .U32(uint32_t(mask >> 32))
            .Text("", 0);
    for (size_t i = 0; i < members.size() * 16; ++i)
        w.U8(0); // the pairs' secrets
    auto f = w.Finish();
    return Body(f);
}

} // namespace

TEST(Protocol2, ViewMessagesRoundTripWithTheirLinks) {
    TWelcome w = SampleWelcome();
    auto again = DecodeWelcome(Body(EncodeWelcome(w)).data(), Body(EncodeWelcome(w)).size());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->YourId, 33u);
    EXPECT_EQ(again->Secrets, w.Secrets);
    EXPECT_EQ(again->View.HostId, 11u);
    EXPECT_EQ(again->View.Members, w.View.Members);

    TMemberAdded added{8, Entry(44, 3), {}};
    added.Secret.fill(7);
    auto a = DecodeMemberAdded(Body(EncodeMemberAdded(added)).data(),
                               Body(EncodeMemberAdded(added)).size());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Member, added.Member);
    EXPECT_EQ(a->Secret, added.Secret);

    TLinkView lv{9, {0, 0b100, 0b010}};
    auto l = DecodeLinkView(Body(EncodeLinkView(lv)).data(), Body(EncodeLinkView(lv)).size());
    ASSERT_TRUE(l);
    EXPECT_EQ(l->Masks, lv.Masks);

    auto nh = DecodeNewHost(Body(EncodeNewHost(w.View)).data(), Body(EncodeNewHost(w.View)).size());
    ASSERT_TRUE(nh);
    EXPECT_EQ(nh->Members, w.View.Members);
}

TEST(Protocol2, EveryMessageDecodesOnlyWhenExact) {
    OnlyExact(EncodeWelcome(SampleWelcome()), DecodeWelcome);
    OnlyExact(EncodeMemberAdded({8, Entry(44, 3), {}}), DecodeMemberAdded);
    OnlyExact(EncodeMemberRemoved({8, 44}), DecodeMemberRemoved);
    OnlyExact(EncodeLinks({8, 5}), DecodeLinks);
    OnlyExact(EncodeLinkView({9, {0, 4, 2}}), DecodeLinkView);
    OnlyExact(EncodeNewHost(SampleWelcome().View), DecodeNewHost);
    OnlyExact(EncodeHostAck(3), DecodeHostAck);
    OnlyExact(EncodePeerHello({TGuid::Create(), 5, 6, {}}), DecodePeerHello);
    OnlyExact(EncodeAck(12), DecodeAck);
    OnlyExact(EncodeHello({TGuid::Create()}), DecodeHello);
    // DATA and RELAY end in a block of any length: only the fixed part is checked by cutting.
    auto data = Body(EncodeData(1, "xy", 2));
    for (size_t n = 0; n < 8; ++n)
        EXPECT_FALSE(DecodeData(data.data(), n));
    auto inner = Body(EncodeAck(4));
    auto relay = Body(EncodeRelay(9, ACK, inner.data(), inner.size()));
    for (size_t n = 0; n < relay.size(); ++n)
        EXPECT_FALSE(DecodeRelay(relay.data(), n));
    relay.push_back(0);
    EXPECT_FALSE(DecodeRelay(relay.data(), relay.size()));
}

TEST(Protocol2, HelloOfVersionOneIsRefused) {
    auto hello = Body(EncodeHello({TGuid::Create()}));
    EXPECT_TRUE(DecodeHello(hello.data(), hello.size()));
    hello[8] = 1; // the version's low byte, after the magic
    EXPECT_FALSE(DecodeHello(hello.data(), hello.size()));
}

TEST(Protocol2, WelcomeNamingIdZeroTwiceOrTooManyIsRefused) {
    auto ok = RawWelcome(2, 1, {{1, 0}, {2, 0}}, 2);
    EXPECT_TRUE(DecodeWelcome(ok.data(), ok.size()));
    auto zero = RawWelcome(2, 1, {{1, 0}, {0, 0}, {2, 0}}, 3);
    EXPECT_FALSE(DecodeWelcome(zero.data(), zero.size()));
    auto twice = RawWelcome(2, 1, {{1, 0}, {2, 0}, {2, 0}}, 3);
    EXPECT_FALSE(DecodeWelcome(twice.data(), twice.size()));
    auto notListed = RawWelcome(3, 1, {{1, 0}, {2, 0}}, 2);
    EXPECT_FALSE(DecodeWelcome(notListed.data(), notListed.size()));
    auto asHost = RawWelcome(1, 1, {{1, 0}, {2, 0}}, 2);
    EXPECT_FALSE(DecodeWelcome(asHost.data(), asHost.size()));
    auto noHost = RawWelcome(2, 9, {{1, 0}, {2, 0}}, 2);
    EXPECT_FALSE(DecodeWelcome(noHost.data(), noHost.size()));
    auto youZero = RawWelcome(0, 1, {{1, 0}, {2, 0}}, 2);
    EXPECT_FALSE(DecodeWelcome(youZero.data(), youZero.size()));
    // Links only to listed members, never to oneself.
    auto foreign = RawWelcome(2, 1, {{1, 0}, {2, 0b100}}, 2);
    EXPECT_FALSE(DecodeWelcome(foreign.data(), foreign.size()));
    auto self = RawWelcome(2, 1, {{1, 0}, {2, 0b10}}, 2);
    EXPECT_FALSE(DecodeWelcome(self.data(), self.size()));

    std::vector<std::pair<uint32_t, uint64_t>> many;
    for (uint32_t i = 1; i <= 1000; ++i)
        many.push_back({i, 0});
    auto thousand = RawWelcome(2, 1, many, 1000);
    EXPECT_FALSE(DecodeWelcome(thousand.data(), thousand.size()));
    many.resize(kMaxMembers + 1);
    auto overBound = RawWelcome(2, 1, many, kMaxMembers + 1);
    EXPECT_FALSE(DecodeWelcome(overBound.data(), overBound.size()));
    many.resize(kMaxMembers);
    auto atBound = RawWelcome(2, 1, many, kMaxMembers);
    EXPECT_TRUE(DecodeWelcome(atBound.data(), atBound.size()));
    // A count promising more than the body holds is refused before anything is taken on trust.
    auto promise = RawWelcome(2, 1, {{1, 0}, {2, 0}}, 40);
    EXPECT_FALSE(DecodeWelcome(promise.data(), promise.size()));
}

TEST(Protocol2, AViewListsNoAddressThatReachesNoOne) {
    // Members dial what a view lists: a host must not point them at a
    // multicast group or "this network".
    auto with = [](TNetAddress a) {
        TWelcome w = SampleWelcome();
        w.View.Members[1].Address = a;
        auto body = Body(EncodeWelcome(w));
        return DecodeWelcome(body.data(), body.size()).has_value();
    };
    TNetAddress v6Multicast;
    v6Multicast.Bytes[0] = 0xFF;
    v6Multicast.Bytes[15] = 1;
    TNetAddress v6Loopback;
    v6Loopback.Bytes[15] = 1;
    EXPECT_FALSE(with(v6Multicast));
    EXPECT_FALSE(with(TNetAddress::FromIpv4(0xE0000001))); // 224.0.0.1
    EXPECT_FALSE(with(TNetAddress::FromIpv4(0x00010203))); // 0.1.2.3
    EXPECT_FALSE(with(TNetAddress::FromIpv4(0xFFFFFFFF)));
    EXPECT_TRUE(with(TNetAddress::FromIpv4(0xC0A80001)));
    EXPECT_TRUE(with(v6Loopback));
    EXPECT_TRUE(with(TNetAddress{})); // none: the address the joiner reached the host at
}

TEST(Protocol2, DataAndRelayBounds) {
    EXPECT_FALSE(DecodeData(nullptr, 0)) << "an empty DATA frame";
    auto empty = Body(EncodeData(1, nullptr, 0));
    auto d = DecodeData(empty.data(), empty.size());
    ASSERT_TRUE(d) << "an empty block is a block";
    EXPECT_TRUE(d->Block.empty());
    auto seqZero = Body(EncodeData(0, "a", 1));
    EXPECT_FALSE(DecodeData(seqZero.data(), seqZero.size()));
    std::vector<uint8_t> big(8 + kMaxBlock + 1, 1);
    EXPECT_FALSE(DecodeData(big.data(), big.size()));
    big.pop_back();
    EXPECT_TRUE(DecodeData(big.data(), big.size()));

    auto inner = Body(EncodeData(3, "abc", 3));
    auto relay = Body(EncodeRelay(5, DATA, inner.data(), inner.size()));
    auto r = DecodeRelay(relay.data(), relay.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Peer, 5u);
    EXPECT_EQ(r->InnerBody, inner);
    auto toZero = Body(EncodeRelay(0, DATA, inner.data(), inner.size()));
    EXPECT_FALSE(DecodeRelay(toZero.data(), toZero.size()));
    auto welcome = Body(EncodeWelcome(SampleWelcome()));
    auto wrapped = Body(EncodeRelay(5, WELCOME, welcome.data(), welcome.size()));
    EXPECT_FALSE(DecodeRelay(wrapped.data(), wrapped.size())) << "only DATA and ACK travel relayed";
    auto emptyInner = Body(EncodeRelay(5, DATA, nullptr, 0));
    EXPECT_FALSE(DecodeRelay(emptyInner.data(), emptyInner.size()));
}

TEST(Protocol2, IntroductionAndRemovalNeverNameIdZero) {
    auto fromZero = Body(EncodePeerHello({TGuid::Create(), 5, 0, {}}));
    EXPECT_FALSE(DecodePeerHello(fromZero.data(), fromZero.size()));
    auto toZero = Body(EncodePeerHello({TGuid::Create(), 0, 5, {}}));
    EXPECT_FALSE(DecodePeerHello(toZero.data(), toZero.size()));
    auto toSelf = Body(EncodePeerHello({TGuid::Create(), 5, 5, {}}));
    EXPECT_FALSE(DecodePeerHello(toSelf.data(), toSelf.size()));
    auto removedZero = Body(EncodeMemberRemoved({3, 0}));
    EXPECT_FALSE(DecodeMemberRemoved(removedZero.data(), removedZero.size()));
    // Whether the member left itself is a flag: 0 or 1.
    auto left = Body(EncodeMemberRemoved({3, 7, true}));
    ASSERT_TRUE(DecodeMemberRemoved(left.data(), left.size()));
    EXPECT_TRUE(DecodeMemberRemoved(left.data(), left.size())->Left);
    left.back() = 2;
    EXPECT_FALSE(DecodeMemberRemoved(left.data(), left.size()));
    TMemberAdded added{8, Entry(0, 3), {}};
    auto addedZero = Body(EncodeMemberAdded(added));
    EXPECT_FALSE(DecodeMemberAdded(addedZero.data(), addedZero.size()));
}

TEST(Protocol2, MasksFollowTheViewOrder) {
    std::vector<uint32_t> order = {40, 10, 30};
    EXPECT_EQ(MaskOf({10, 30}, order), 0b110u);
    EXPECT_EQ(IdsOf(0b101, order), (std::set<uint32_t>{40, 30}));
    EXPECT_EQ(IdsOf(MaskOf({40, 99}, order), order), std::set<uint32_t>{40});
}
