#pragma once
// A member of the session service in this process, driven through IDirectPlay4.
#include "dplay/protocol/DPProtocol.h"
#include "dplay/api/DirectPlay.h"
#include "entry/ApplicationGuid.h"

#include "support/FreshPort.h"
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace dplaytest {
using namespace dplay;

inline const TGuid kApp = *TGuid::Parse(entry::kApplicationGuid);

using testsupport::FreshPort;

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
    void Join(uint16_t port) { ASSERT_EQ(TryJoin(port), DP_OK); }
    // Enumerates, opens the first room and enters it: the first failure, or DP_OK.
    HRESULT TryJoin(uint16_t port, const std::string& name = "member") {
        Connect(port, "127.0.0.1");
        DPSESSIONDESC2 d, found;
        d.guidApplication = kApp;
        bool any = false;
        HRESULT hr = Dp->EnumSessions(
            d, 0,
            [&](const DPSESSIONDESC2* s, uint32_t*, uint32_t) {
                if (s) found = *s, any = true;
                return s != nullptr;
            },
            DPENUMSESSIONS_AVAILABLE);
        if (Failed(hr)) return hr;
        if (!any) return DPERR_NOSESSIONS;
        if (Failed(hr = Dp->Open(found, DPOPEN_JOIN))) return hr;
        DPNAME n{name, ""};
        return Dp->CreatePlayer(&Id, &n, Event, nullptr, 0, 0);
    }
    void Enter(const std::string& name) {
        DPNAME n{name, ""};
        ASSERT_EQ(Dp->CreatePlayer(&Id, &n, Event, nullptr, 0, 0), DP_OK);
    }
    // The next data block, waiting on the receive event (system notices
    // skipped); fromOut gets its sender.
    std::string NextBlock(int timeoutMs = 10000, DPID* fromOut = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            DPID from, to;
            uint32_t size = uint32_t(buffer.size());
            HRESULT hr = Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
            if (hr == DP_OK && from != DPID_SYSMSG) {
                if (fromOut) *fromOut = from;
                return std::string(reinterpret_cast<char*>(buffer.data()), size);
            }
            if (hr == DP_OK) continue;
            if (hr == DPERR_BUFFERTOOSMALL) {
                buffer.resize(size);
                continue;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Event->Wait(int(left.count()))) return "(timeout)";
        }
    }
};

// The players a member lists (those whose create notice it has taken).
inline std::set<DPID> PlayersOf(TPeer& peer) {
    std::set<DPID> ids;
    peer.Dp->EnumPlayers(
        nullptr,
        [&](DPID id, uint32_t, const std::string&, uint32_t) {
            ids.insert(id);
            return true;
        },
        0);
    return ids;
}

// a sends to b, b answers a: both arrive.
inline void ExpectTalking(TPeer& a, TPeer& b, const std::string& text) {
    ASSERT_EQ(a.Dp->Send(a.Id, b.Id, DPSEND_GUARANTEED, text.data(), uint32_t(text.size())), DP_OK);
    EXPECT_EQ(b.NextBlock(), text);
    ASSERT_EQ(b.Dp->Send(b.Id, a.Id, DPSEND_GUARANTEED, text.data(), uint32_t(text.size())), DP_OK);
    EXPECT_EQ(a.NextBlock(), text);
}

// A room of two on a port of its own: the host and one member, in this process.
class TRoomOfTwo : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        port = FreshPort();
        host.Create(port);
        member.Join(port);
    }
    uint16_t port = 0;
    TPeer host, member;
};

// A room of three on a port of its own: the host and two members.
class TRoomOfThree : public ::testing::Test {
  protected:
    void SetUp() override {
        port = FreshPort();
        host.Create(port);
        a.Join(port);
        b.Join(port);
    }
    uint16_t port = 0;
    TPeer host, a, b;
};

} // namespace dplaytest
