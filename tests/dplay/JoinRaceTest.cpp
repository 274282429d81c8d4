// Two members joining at once: the host welcomes the newer one first, and it
// introduces itself to the older one before that one has read its own
// welcome. The host here is played by hand, so that order is certain.
#include "TestFakeHost.h"
#include "TestPeer.h"
#include "TestRawClient.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace dplay;
using namespace dplaytest;

TEST(JoinRace, AnIntroductionBeforeTheWelcomeWaitsForIt) {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    const uint16_t port = FreshPort();
    TFakeHost host(port);
    TPeer older;
    std::thread joining([&] { older.Join(port); });

    TRaw enumeration, join;
    auto request = host.Admit(enumeration, join);
    ASSERT_TRUE(request);

    // The newer member was welcomed first and knows the older one's id.
    const uint32_t hostId = 0x10, olderId = 0x20, newerId = 0x30;
    TRaw newer(request->ListenPort);
    auto hello = *proto::EncodeHello({kApp});
    auto intro =
        *proto::EncodePeerHello({host.room.Instance, olderId, {newerId, 2, 0, 1, "newer"}});
    hello.insert(hello.end(), intro.begin(), intro.end());
    newer.Write(hello.data(), hello.size()); // in one write, as a member sends them
    auto reply = newer.Read();
    ASSERT_TRUE(reply && reply->Type == proto::HELLO);

    // Only now does the older one learn who it is.
    join.Write(proto::EncodeWelcome({olderId, 1, {{hostId, 0, 0, 1, "host"}}}));
    auto accept = newer.Read();
    ASSERT_TRUE(accept) << "the introduction was turned away";
    EXPECT_EQ(accept->Type, proto::PEER_ACCEPT);
    joining.join();
    ASSERT_EQ(older.Id, olderId);

    // The newer one is announced by its notice, and listed once that is taken.
    EXPECT_EQ(PlayersOf(older), std::set<DPID>{hostId});
    std::vector<uint8_t> notice(256);
    DPID from = 0, to = 0;
    uint32_t size = uint32_t(notice.size());
    ASSERT_TRUE(older.Event->Wait(10000));
    ASSERT_EQ(older.Dp->Receive(&from, &to, DPRECEIVE_ALL, notice.data(), &size), DP_OK);
    DPMSG_CREATEPLAYERORGROUP created;
    ASSERT_EQ(from, DPID_SYSMSG);
    ASSERT_GE(size, sizeof created);
    std::memcpy(&created, notice.data(), sizeof created);
    EXPECT_EQ(created.dwType, DPSYS_CREATEPLAYERORGROUP);
    EXPECT_EQ(created.dpId, newerId);
    EXPECT_EQ(PlayersOf(older), (std::set<DPID>{hostId, newerId}));
    newer.Write(proto::EncodeData("from the newer one", 18));
    EXPECT_EQ(older.NextBlock(), "from the newer one");
    // Left while the hand-played links are still there: none of them ends
    // first and makes this member the host, listing itself at our port.
    EXPECT_EQ(older.Dp->Close(), DP_OK);
}
