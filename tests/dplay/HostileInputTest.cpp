// A live service under hostile connections: each offender is cut off within
// a bounded time and the honest members keep talking.
#include "dplay/DPProtocol.h"
#include "dplay/DirectPlay.h"

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace dplay;

namespace {

const TGuid kApp = *TGuid::Parse("{5BFFE6A0-4D9C-11D2-B2C6-0080C83D719A}");

uint16_t FreshPort() {
    static std::mt19937 rng{std::random_device{}()};
    return static_cast<uint16_t>(20000 + rng() % 30000);
}

struct TPeer {
    std::unique_ptr<IDirectPlay4> Dp = DirectPlayCreate();
    std::shared_ptr<TDPEvent> Event = std::make_shared<TDPEvent>();
    DPID Id = 0;

    void Connect(uint16_t port, const std::string& host) {
        std::vector<DPCOMPOUNDADDRESSELEMENT> e;
        e.push_back({DPAID_ServiceProvider, 16, DPSPGUID_TCPIP.Bytes.data()});
        if (!host.empty()) e.push_back({DPAID_INet, uint32_t(host.size() + 1), host.c_str()});
        e.push_back({DPAID_INetPort, 2, &port});
        uint32_t size = 0;
        ASSERT_EQ(CreateCompoundAddress(e.data(), uint32_t(e.size()), nullptr, &size),
                  DPERR_BUFFERTOOSMALL);
        std::vector<uint8_t> address(size);
        ASSERT_EQ(CreateCompoundAddress(e.data(), uint32_t(e.size()), address.data(), &size),
                  DP_OK);
        ASSERT_EQ(Dp->InitializeConnection(address.data(), size, 0), DP_OK);
    }
    void Create(uint16_t port) {
        Connect(port, "");
        DPSESSIONDESC2 d;
        d.guidApplication = kApp;
        d.dwMaxPlayers = 10;
        d.sessionName = "room";
        ASSERT_EQ(Dp->Open(d, DPOPEN_CREATE), DP_OK);
        Enter("host");
    }
    void Join(uint16_t port) {
        Connect(port, "127.0.0.1");
        DPSESSIONDESC2 d, found;
        d.guidApplication = kApp;
        ASSERT_EQ(Dp->EnumSessions(
                      d, 0,
                      [&](const DPSESSIONDESC2* s, uint32_t*, uint32_t) {
                          if (s) found = *s;
                          return s != nullptr;
                      },
                      DPENUMSESSIONS_AVAILABLE),
                  DP_OK);
        ASSERT_EQ(Dp->Open(found, DPOPEN_JOIN), DP_OK);
        Enter("member");
    }
    void Enter(const std::string& name) {
        DPNAME n{name, ""};
        ASSERT_EQ(Dp->CreatePlayer(&Id, &n, Event, nullptr, 0, 0), DP_OK);
    }
    // The next data block, waiting on the receive event (system notices skipped).
    std::string NextBlock(int timeoutMs = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::vector<uint8_t> buffer(1 << 16);
            DPID from, to;
            uint32_t size = uint32_t(buffer.size());
            HRESULT hr = Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
            if (hr == DP_OK && from != DPID_SYSMSG)
                return std::string(reinterpret_cast<char*>(buffer.data()), size);
            if (hr == DP_OK) continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Event->Wait(int(left.count()))) return "(timeout)";
        }
    }
};

// A raw TCP client; Closed() tells whether the service cut it off in time.
struct TRaw {
    asio::io_context io;
    asio::ip::tcp::socket s{io};
    explicit TRaw(uint16_t port) {
        s.connect({asio::ip::make_address("127.0.0.1"), port});
        timeval tv{20, 0}; // far beyond every bound of the service
        ::setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void Write(const void* p, size_t n) { asio::write(s, asio::buffer(p, n)); }
    void Write(const proto::TFrame& f) { Write(f->data(), f->size()); }
    bool Closed() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(s.native_handle(), buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0) return errno == ECONNRESET;
        }
    }
};

class HostileInput : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        port = FreshPort();
        host.Create(port);
        member.Join(port);
    }
    void ExpectRoomStillWorks(const std::string& text) {
        ASSERT_EQ(member.Dp->Send(member.Id, host.Id, DPSEND_GUARANTEED, text.data(),
                                  uint32_t(text.size())),
                  DP_OK);
        EXPECT_EQ(host.NextBlock(), text);
        ASSERT_EQ(host.Dp->Send(host.Id, DPID_ALLPLAYERS, DPSEND_GUARANTEED, text.data(),
                                uint32_t(text.size())),
                  DP_OK);
        EXPECT_EQ(member.NextBlock(), text);
    }
    uint16_t port = 0;
    TPeer host, member;
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
    std::string block(1 << 20, '.');
    for (uint32_t i = 0; i < 48; ++i) {
        std::memcpy(block.data(), &i, 4);
        ASSERT_EQ(member.Dp->Send(member.Id, host.Id, DPSEND_GUARANTEED, block.data(),
                                  uint32_t(block.size())),
                  DP_OK);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the sender outruns the reader
    for (uint32_t i = 0; i < 48; ++i) {
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
        ASSERT_EQ(size, block.size());
    }
    ExpectRoomStillWorks("drained");
}
