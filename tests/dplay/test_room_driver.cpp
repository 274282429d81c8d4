// Rooms on the room core through real links on loopback: the driver
// carries the core's dials, frames, timers and listing out through the
// service, and the members talk through IDirectPlay4 as the program does.
#include "Peer.h"
#include "RawClient.h"
#include "dplay/core/DPRoomCore.h"
#include "support/Wait.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace dplay;
using namespace dplaytest;

namespace {

// The next system notice of a type, other messages skipped.
bool WaitNotice(TPeer& peer, uint32_t type, int timeoutMs = 15000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        DPID from, to;
        uint32_t size = uint32_t(buffer.size());
        HRESULT hr = peer.Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
        if (hr == DP_OK && from == DPID_SYSMSG && size >= 4) {
            uint32_t got;
            std::memcpy(&got, buffer.data(), 4);
            if (got == type) return true;
            continue;
        }
        if (hr == DP_OK) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !peer.Event->Wait(int(left.count()))) return false;
    }
}

class RoomDriver : public TRoomOfThree {};

} // namespace

TEST_F(RoomDriver, ThreeMembersHoldOneViewAndEveryPairTalks) {
    ASSERT_TRUE(WaitNotice(host, DPSYS_CREATEPLAYERORGROUP));
    ASSERT_TRUE(WaitNotice(host, DPSYS_CREATEPLAYERORGROUP));
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
    // The last one in learns of the others from its welcome, the earlier
    // ones of it from a notice; the list follows once that is taken.
    ASSERT_TRUE(WaitNotice(a, DPSYS_CREATEPLAYERORGROUP));
    EXPECT_EQ(PlayersOf(a), (std::set<DPID>{host.Id, b.Id}));
    EXPECT_EQ(PlayersOf(b), (std::set<DPID>{host.Id, a.Id}));
    ExpectTalking(host, a, "host and a");
    ExpectTalking(host, b, "host and b");
    ExpectTalking(a, b, "a and b");
    // To everyone: each of the others gets it once.
    const std::string all = "to all";
    ASSERT_EQ(
        a.Dp->Send(a.Id, DPID_ALLPLAYERS, DPSEND_GUARANTEED, all.data(), uint32_t(all.size())),
        DP_OK);
    EXPECT_EQ(host.NextBlock(), all);
    EXPECT_EQ(b.NextBlock(), all);
    EXPECT_EQ(a.Dp->Send(a.Id, 12345, DPSEND_GUARANTEED, all.data(), uint32_t(all.size())),
              DPERR_INVALIDPLAYER);
}

TEST_F(RoomDriver, BlocksArriveInOrder) {
    for (int i = 0; i < 200; ++i) {
        std::string text = "block " + std::to_string(i);
        ASSERT_EQ(a.Dp->Send(a.Id, b.Id, DPSEND_GUARANTEED, text.data(), uint32_t(text.size())),
                  DP_OK);
    }
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(b.NextBlock(), "block " + std::to_string(i));
}

TEST_F(RoomDriver, AMemberThatLeavesIsGoneForTheOthers) {
    const DPID gone = b.Id;
    b.Dp->Close();
    ASSERT_TRUE(WaitNotice(host, DPSYS_DESTROYPLAYERORGROUP));
    ASSERT_TRUE(WaitNotice(a, DPSYS_DESTROYPLAYERORGROUP));
    EXPECT_FALSE(PlayersOf(host).count(gone));
    EXPECT_FALSE(PlayersOf(a).count(gone));
    ExpectTalking(host, a, "after b left");
}

TEST_F(RoomDriver, WhenTheHostLeavesTheOthersCarryOnAndANewcomerEnters) {
    host.Dp->Close();
    // One of the two takes the room over and lists it.
    ASSERT_TRUE(WaitNotice(a, DPSYS_DESTROYPLAYERORGROUP));
    ASSERT_TRUE(WaitNotice(b, DPSYS_DESTROYPLAYERORGROUP));
    ExpectTalking(a, b, "after the host left");
    TPeer late;
    HRESULT hr = DPERR_NOSESSIONS;
    // The successor lists the room once the others took it as host.
    testsupport::PollUntil(
        [&] {
            hr = late.TryJoin(port, "late");
            if (hr != DPERR_NOSESSIONS) return true;
            late.Dp = DirectPlayCreate();
            return false;
        },
        20000, 250);
    ASSERT_EQ(hr, DP_OK);
    ExpectTalking(a, late, "a and the newcomer");
    ExpectTalking(b, late, "b and the newcomer");
}

TEST_F(RoomDriver, AVersionOnePeerIsRefusedAtTheHandshake) {
    // A version 1 HELLO gets no answer, only the end of the stream.
    TRaw raw(port);
    raw.Request(kApp, proto::EncodeEmpty(proto::ENUM_REQUEST), 1);
    EXPECT_FALSE(raw.Read());
    ExpectTalking(a, b, "after the old peer");
}

TEST_F(RoomDriver, AReceiverThatTakesNothingForLongerThanTheSilenceBoundLosesNothing) {
    // 48 MiB to a host that takes nothing for 12 s: beyond what it holds
    // before its links stop reading, and longer than a link may be silent.
    // Its own pause must not count as the others' silence: nobody is
    // removed, and everything arrives in order once it reads again.
    constexpr uint32_t kBlocks = 48;
    constexpr uint32_t kBlockSize = 1 << 20;
    std::vector<uint8_t> block(kBlockSize);
    for (uint32_t i = 0; i < kBlocks; ++i) {
        std::memcpy(block.data(), &i, 4);
        ASSERT_EQ(a.Dp->Send(a.Id, host.Id, DPSEND_GUARANTEED, block.data(), kBlockSize), DP_OK);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(room::kSilenceMs + 2000));
    std::vector<uint8_t> buffer(kBlockSize);
    for (uint32_t i = 0; i < kBlocks; ++i) {
        DPID from, to;
        uint32_t size;
        HRESULT hr;
        while ((hr = host.Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(),
                                      &(size = kBlockSize))) == DPERR_NOMESSAGES)
            ASSERT_TRUE(host.Event->Wait(10000)) << "block " << i;
        ASSERT_EQ(hr, DP_OK);
        if (from == DPID_SYSMSG) {
            uint32_t type;
            std::memcpy(&type, buffer.data(), 4);
            ASSERT_NE(type, DPSYS_DESTROYPLAYERORGROUP) << "a member was removed";
            ASSERT_NE(type, DPSYS_SESSIONLOST);
            --i;
            continue;
        }
        uint32_t seq;
        std::memcpy(&seq, buffer.data(), 4);
        ASSERT_EQ(seq, i);
        ASSERT_EQ(size, kBlockSize);
    }
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
    ExpectTalking(host, a, "after the pause");
    ExpectTalking(a, b, "a and b after the pause");
}
