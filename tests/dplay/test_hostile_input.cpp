// A live service under hostile connections: each offender is cut off within
// a bounded time and the honest members keep talking.
#include "Peer.h"
#include "RawClient.h"

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <thread>

using namespace dplay;
using namespace dplaytest;

namespace {

class HostileInput : public TRoomOfTwo {
  protected:
    void ExpectRoomStillWorks(const std::string& text) { ExpectTalking(member, host, text); }
    // kBlocks blocks of kBlockSize from the member to the host, numbered from 0.
    void SendNumberedBlocks() {
        std::string block(kBlockSize, '.');
        for (uint32_t i = 0; i < kBlocks; ++i) {
            std::memcpy(block.data(), &i, 4);
            ASSERT_EQ(member.Dp->Send(member.Id, host.Id, DPSEND_GUARANTEED, block.data(),
                                      uint32_t(block.size())),
                      DP_OK);
        }
    }
    // 48 MiB: beyond what a receiver holds before its links pause.
    static constexpr uint32_t kBlocks = 48;
    static constexpr size_t kBlockSize = 1 << 20;
};

} // namespace

TEST_F(HostileInput, WrongHellosForeignJoinsAndFramesOutOfTurnAreCutOff) {
    auto helloBytes = [] { return std::vector<uint8_t>(*p2::EncodeHello({kApp})); };
    {
        TRaw raw(port);
        auto hello = helloBytes();
        hello[5] ^= 0x20; // magic
        raw.Write(hello.data(), hello.size());
        EXPECT_FALSE(raw.Read()) << "answered";
    }
    // Every other version, the one before ours included.
    for (uint8_t version : {0, 1, int(proto::kVersion) - 1, int(proto::kVersion) + 1}) {
        TRaw raw(port);
        auto hello = helloBytes();
        hello[13] = version;
        raw.Write(hello.data(), hello.size());
        EXPECT_FALSE(raw.Read()) << "answered version " << int(version);
    }
    {
        // Another application's join of this room's instance finds no room.
        TRaw raw(port);
        const TGuid instance = RawEnumerate(port, kApp).at(0).Instance;
        raw.Request(TGuid::Create(), proto::EncodeJoinRequest(instance));
        auto hello = raw.Read();
        auto refuse = raw.Read();
        ASSERT_TRUE(hello && refuse && refuse->Type == proto::JOIN_REFUSE);
        EXPECT_EQ(proto::DecodeJoinRefuse(refuse->Body.data(), refuse->Body.size()),
                  DPERR_NOSESSIONS);
        EXPECT_TRUE(raw.Closed());
    }
    {
        // A data frame before any request.
        TRaw raw(port);
        raw.Write(p2::EncodeHello({kApp}));
        raw.Write(RawData2(1, "abcd"));
        EXPECT_TRUE(raw.Closed());
    }
    ExpectRoomStillWorks("after the garbage");
}

TEST_F(HostileInput, SilentAndHalfFramedConnectionsTimeOutAndAFloodIsBounded) {
    std::vector<std::unique_ptr<TRaw>> flood;
    for (int i = 0; i < 150; ++i)
        flood.push_back(std::make_unique<TRaw>(port));
    {
        TRaw cut(port);
        auto hello = p2::EncodeHello({kApp});
        cut.Write(hello->data(), hello->size() - 3); // stops mid-frame
        flood.push_back(nullptr);
        // An honest member can still join while the flood hangs on.
        TPeer late;
        late.Join(port);
        ExpectRoomStillWorks("during the flood");
        EXPECT_TRUE(cut.Closed());
    }
    for (auto& raw : flood) {
        if (raw) {
            EXPECT_TRUE(raw->Closed());
        }
    }
}

TEST_F(HostileInput, AMemberBreakingTheRulesIsRemovedAndTheOthersCarryOn) {
    TRaw raw(port);
    auto welcome = RawJoin2(raw, kApp, RawEnumerate(port, kApp).at(0).Instance, 0, "intruder");
    ASSERT_TRUE(welcome);
    raw.Write(RawData2(1, "okay"));
    DPID from = 0;
    EXPECT_EQ(host.NextBlock(10000, &from), "okay");
    EXPECT_EQ(from, welcome->YourId);
    uint8_t unknownType[5] = {1, 0, 0, 0, 0x7E};
    raw.Write(unknownType, 5);
    EXPECT_TRUE(raw.Closed());
    ExpectRoomStillWorks("after the intruder");
    EXPECT_EQ(PlayersOf(host), std::set<DPID>{member.Id});
}

TEST_F(HostileInput, AMemberLeavingRightAfterABurstStillDeliversItAll) {
    // The host takes nothing for a while, so most of the burst is still
    // queued when the sender leaves, and the host's pings keep coming.
    ASSERT_NO_FATAL_FAILURE(SendNumberedBlocks());
    ASSERT_EQ(member.Dp->Close(), DP_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (uint32_t i = 0; i < kBlocks; ++i) {
        std::string got = host.NextBlock();
        ASSERT_EQ(got.size(), kBlockSize) << "block " << i << ": " << got;
        uint32_t seq;
        std::memcpy(&seq, got.data(), 4);
        ASSERT_EQ(seq, i);
    }
}
