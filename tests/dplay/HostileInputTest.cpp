// A live service under hostile connections: each offender is cut off within
// a bounded time and the honest members keep talking.
#include "TestPeer.h"
#include "TestRawClient.h"

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
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

TEST_F(HostileInput, GarbageHugeLengthsAndWrongHellosAreCutOff) {
    {
        TRaw raw(port);
        std::string garbage = "GET / HTTP/1.0\r\n\r\n";
        raw.Write(garbage.data(), garbage.size());
        EXPECT_TRUE(raw.Closed());
    }
    {
        TRaw raw(port);
        uint8_t huge[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01}; // a 4 GiB frame
        raw.Write(huge, 5);
        EXPECT_TRUE(raw.Closed());
    }
    {
        TRaw raw(port);
        auto hello = std::vector<uint8_t>(*proto::EncodeHello({kApp}));
        hello[5] ^= 0x20; // magic
        raw.Write(hello.data(), hello.size());
        EXPECT_TRUE(raw.Closed());
    }
    {
        TRaw raw(port);
        auto hello = std::vector<uint8_t>(*proto::EncodeHello({kApp}));
        hello[13] = 2; // version
        raw.Write(hello.data(), hello.size());
        EXPECT_TRUE(raw.Closed());
    }
    {
        // Another application's join finds no room and is sent away.
        TRaw raw(port);
        raw.Write(proto::EncodeHello({TGuid::Create()}));
        raw.Write(proto::EncodeJoinRequest(TGuid::Create()));
        EXPECT_TRUE(raw.Closed());
    }
    {
        // A data frame before any request.
        TRaw raw(port);
        raw.Write(proto::EncodeHello({kApp}));
        raw.Write(proto::EncodeData("abcd", 4));
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
        auto hello = proto::EncodeHello({kApp});
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
    raw.Write(proto::EncodeHello({kApp}));
    raw.Write(proto::EncodeJoinRequest(*[&] {
        // The room's instance, as an enumeration shows it.
        TPeer probe;
        probe.Connect(port, "127.0.0.1");
        DPSESSIONDESC2 d, found;
        d.guidApplication = kApp;
        probe.Dp->EnumSessions(
            d, 0,
            [&](const DPSESSIONDESC2* s, uint32_t*, uint32_t) {
                if (s) found = *s;
                return s != nullptr;
            },
            0);
        return std::make_unique<TGuid>(found.guidInstance);
    }()));
    raw.Write(proto::EncodeCreatePlayer({1, "intruder"}));
    raw.Write(proto::EncodeData("okay", 4));
    EXPECT_EQ(host.NextBlock(), "okay");
    uint8_t unknownType[5] = {1, 0, 0, 0, 0x7E};
    raw.Write(unknownType, 5);
    EXPECT_TRUE(raw.Closed());
    ExpectRoomStillWorks("after the intruder");
}

TEST_F(HostileInput, AReceiverThatFallsBehindStopsReadingAndLosesNothing) {
    // 48 MiB while the host takes nothing: beyond what it holds before its
    // links pause. Everything arrives, in order, once it drains.
    ASSERT_NO_FATAL_FAILURE(SendNumberedBlocks());
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the sender outruns the reader
    for (uint32_t i = 0; i < kBlocks; ++i) {
        std::vector<uint8_t> buffer(2 << 20);
        DPID from, to;
        uint32_t size;
        HRESULT hr;
        while ((hr = host.Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(),
                                      &(size = uint32_t(buffer.size())))) == DPERR_NOMESSAGES)
            ASSERT_TRUE(host.Event->Wait(10000)) << "block " << i;
        ASSERT_EQ(hr, DP_OK);
        if (from == DPID_SYSMSG) {
            --i;
            continue;
        }
        uint32_t seq;
        std::memcpy(&seq, buffer.data(), 4);
        ASSERT_EQ(seq, i);
        ASSERT_EQ(size, kBlockSize);
    }
    ExpectRoomStillWorks("drained");
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
