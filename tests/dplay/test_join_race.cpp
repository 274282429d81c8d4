// Two members joining at once: the newer one introduces itself to the older
// one before the older one has read the host's word of it. The host here is
// played by hand, so that order is certain.
#include "FakeHost.h"
#include "Peer.h"
#include "RawClient.h"
#include "dplay/service/DPService.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <set>

using namespace dplay;
using namespace dplaytest;

namespace {

// True when nothing arrives on raw for ms milliseconds.
bool QuietFor(TRaw& raw, int ms) {
    pollfd p{raw.s.native_handle(), POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

} // namespace

TEST(JoinRace, AnIntroductionBeforeTheHostsWordWaitsForIt) {
    const uint16_t port = FreshPort();
    TFakeHost host(port);
    const uint32_t hostId = 0x10, olderId = 0x20, newerId = 0x30;
    p2::TWelcome welcome;
    welcome.YourId = olderId;
    welcome.Secrets.resize(2);
    welcome.View.View = 3;
    welcome.View.HostId = hostId;
    const TNetAddress loopback = TNetAddress::FromIpv4(0x7F000001);
    welcome.View.Members = {{hostId, 0, {}, 1, "host", {}}, {olderId, 1, loopback, 0, "older", {}}};
    KeysOfTheJoin(welcome);
    TPeer older;
    TRaw join;
    ASSERT_EQ(host.Enter(older, port, join, p2::EncodeWelcome(welcome)), DP_OK);
    ASSERT_EQ(older.Id, olderId);

    // The newer member was welcomed first; its secret is the pair's.
    p2::TSecret secret;
    secret.fill(0x3C);
    TRaw newer(TDPService::Acquire()->MemberPort());
    newer.Request(kApp, p2::EncodePeerHello({host.room.Instance, olderId, newerId, secret}));
    auto reply = newer.Read();
    ASSERT_TRUE(reply && reply->Type == p2::HELLO);
    // Held: neither answered nor refused while the older one has not heard of it.
    EXPECT_TRUE(QuietFor(newer, 300));

    // Only now does the older one learn of the newer.
    join.Write(p2::EncodeMemberAdded(
        {4, {newerId, 2, loopback, 0, "newer", {}, TRaw::TestKey().OwnKey()}, secret}));
    auto accept = newer.Read();
    ASSERT_TRUE(accept) << "the introduction was turned away";
    EXPECT_EQ(accept->Type, p2::PEER_ACCEPT);
    newer.Write(RawData2(1, "from the newer one"));
    DPID from = 0;
    EXPECT_EQ(older.NextBlock(10000, &from), "from the newer one");
    EXPECT_EQ(from, newerId);
    EXPECT_EQ(PlayersOf(older), (std::set<DPID>{hostId, newerId}));
    // Left while the hand-played links are still there: none of them ends
    // first and makes this member the host, listing itself at our port.
    EXPECT_EQ(older.Dp->Close(), DP_OK);
}
