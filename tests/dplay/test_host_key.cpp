// The host's key, trusted on first use: a host played by hand shows the key
// it is given on the listing and on the join, and a member of this process
// enters through IDirectPlay4 against the known hosts of its settings.
#include "FakeHost.h"
#include "Peer.h"
#include "identity/KnownHosts.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace dplay;
using namespace dplaytest;

namespace {

identity::TFingerprint Of(const TDPTls& key) {
    return identity::TFingerprint{key.OwnKey()};
}

class HostKey : public ::testing::Test {
  protected:
    // The host lists its room showing `listing`, then, unless join is null,
    // accepts the join showing `join`, and with `welcome` lets the member in.
    void Serve(TDPTls& listing, TDPTls* join, bool welcome = false) {
        server = std::thread([this, &listing, join, welcome] {
            TRaw enumeration;
            host.Accept(enumeration, proto::ENUM_REQUEST, listing);
            enumeration.Write(proto::EncodeEnumReply({host.room}));
            if (!join) return;
            host.Accept(joinLink, proto::JOIN_REQUEST, *join);
            joinLink.Write(proto::EncodeJoinAccept(host.room));
            if (!welcome) return;
            auto create = joinLink.Read();
            ASSERT_TRUE(create && create->Type == proto::CREATE_PLAYER);
            p2::TWelcome w;
            w.YourId = 0x20;
            w.Secrets.assign(2, p2::TSecret{});
            w.View.View = 2;
            w.View.HostId = 0x10;
            w.View.Members = {{0x10, 0, {}, 1, "h", {}},
                              {0x20, 1, TNetAddress::FromIpv4(0x7F000001), 1, "member", {}}};
            w.View.Members[0].Key = join->OwnKey();
            w.View.Members[1].Key = TDPService::Acquire()->Tls()->OwnKey();
            joinLink.Write(p2::EncodeWelcome(w));
        });
    }
    void ServeJoin(TDPTls& key) {
        server = std::thread([this, &key] {
            host.Accept(joinLink, proto::JOIN_REQUEST, key);
            joinLink.Write(proto::EncodeJoinAccept(host.room));
        });
    }
    void Done() {
        if (server.joinable()) server.join();
    }
    // Lists the host's rooms (the Serve above answers) and opens the first.
    HRESULT ListAndOpen(TPeer& peer) {
        peer.Connect(port, "127.0.0.1");
        DPSESSIONDESC2 d;
        d.guidApplication = kApp;
        HRESULT hr = peer.Dp->EnumSessions(
            d, 0,
            [&](const DPSESSIONDESC2* s, uint32_t*, uint32_t) {
                if (s) found = *s;
                return s != nullptr;
            },
            DPENUMSESSIONS_AVAILABLE);
        if (Failed(hr)) return hr;
        return peer.Dp->Open(found, DPOPEN_JOIN);
    }
    identity::TTrust Known(const identity::TFingerprint& key) const {
        return identity::TKnownHosts(identity::TKnownHosts::DefaultFile())
            .Check(address, key)
            .Result;
    }
    // Whether a join was dialled: a connection waits at the host.
    bool JoinDialled() {
        host.acceptor.non_blocking(true);
        asio::ip::tcp::socket s(host.io);
        asio::error_code ec;
        host.acceptor.accept(s, ec);
        host.acceptor.non_blocking(false);
        return !ec;
    }
    void TearDown() override { Done(); }

    const uint16_t port = FreshPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    TFakeHost host{port};
    TRaw joinLink;
    std::thread server;
    DPSESSIONDESC2 found;
    std::unique_ptr<TDPTls> first = TDPTls::Ephemeral(), second = TDPTls::Ephemeral();
};

TEST_F(HostKey, TheFirstEntryRemembersTheKeyAndTheSameKeyEntersAgain) {
    ASSERT_EQ(Known(Of(*first)), identity::TTrust::FirstTime);
    {
        TPeer member;
        Serve(*first, first.get(), true);
        ASSERT_EQ(ListAndOpen(member), DP_OK) << member.Dp->LastErrorDetail();
        EXPECT_EQ(Known(Of(*first)), identity::TTrust::Same);
        member.Enter("member");
        Done();
        // The room shows its host's key.
        const DPROOMSECURITY security = member.Dp->RoomSecurity();
        EXPECT_TRUE(security.Encrypted);
        ASSERT_TRUE(security.HostKey);
        EXPECT_EQ(*security.HostKey, first->OwnKey());
    }
    TPeer again;
    TRaw oldLink;
    std::swap(oldLink.s, joinLink.s); // the first member's link goes with it
    Serve(*first, first.get());
    EXPECT_EQ(ListAndOpen(again), DP_OK) << again.Dp->LastErrorDetail();
    EXPECT_FALSE(again.Dp->HostKeyChange());
}

TEST_F(HostKey, AnotherKeyAtTheAddressIsRefusedBeforeAnyJoinUntilTheUserAcceptsIt) {
    ASSERT_EQ(
        identity::TKnownHosts(identity::TKnownHosts::DefaultFile()).Remember(address, Of(*first)),
        "");
    TPeer member;
    Serve(*second, nullptr);
    ASSERT_EQ(ListAndOpen(member), DPERR_HOSTKEYCHANGED);
    Done();
    EXPECT_FALSE(JoinDialled());
    const auto change = member.Dp->HostKeyChange();
    ASSERT_TRUE(change);
    EXPECT_EQ(change->Address, address);
    EXPECT_EQ(change->Old, first->OwnKey());
    EXPECT_EQ(change->Now, second->OwnKey());
    EXPECT_NE(member.Dp->LastErrorDetail().find(Of(*second).Short()), std::string::npos);
    EXPECT_EQ(Known(Of(*first)), identity::TTrust::Same); // nothing remembered yet

    // The user accepts: the new key is remembered, and the same listing enters.
    ASSERT_EQ(member.Dp->AcceptHostKey(), DP_OK);
    EXPECT_EQ(Known(Of(*second)), identity::TTrust::Same);
    EXPECT_EQ(member.Dp->AcceptHostKey(), DPERR_INVALIDPARAMS); // nothing left to accept
    ServeJoin(*second);
    EXPECT_EQ(member.Dp->Open(found, DPOPEN_JOIN), DP_OK) << member.Dp->LastErrorDetail();
}

TEST_F(HostKey, AJoinLinkShowingAnotherKeyThanTheListingIsRefused) {
    TPeer member;
    Serve(*first, second.get());
    EXPECT_EQ(ListAndOpen(member), DPERR_HOSTSWITCHED);
    Done();
    EXPECT_NE(member.Dp->LastErrorDetail().find("another key"), std::string::npos);
    EXPECT_FALSE(member.Dp->RoomSecurity().HostKey);
    // Neither key is taken for the address's.
    EXPECT_EQ(Known(Of(*first)), identity::TTrust::FirstTime);
    EXPECT_EQ(Known(Of(*second)), identity::TTrust::FirstTime);
}

TEST_F(HostKey, KnownHostsThatCannotBeReadRefuseTheJoin) {
    // A folder where the file should be; the file comes back afterwards.
    const auto file = identity::TKnownHosts::DefaultFile();
    const auto aside = file.string() + ".aside";
    const bool existed = std::filesystem::exists(file);
    if (existed) std::filesystem::rename(file, aside);
    std::filesystem::create_directory(file);
    struct Restore {
        std::filesystem::path file, aside;
        bool existed;
        ~Restore() {
            std::filesystem::remove_all(file);
            if (existed) std::filesystem::rename(aside, file);
        }
    } restore{file, aside, existed};
    TPeer member;
    Serve(*first, nullptr);
    EXPECT_EQ(ListAndOpen(member), DPERR_KNOWNHOSTS);
    Done();
    EXPECT_FALSE(JoinDialled());
    EXPECT_NE(member.Dp->LastErrorDetail().find(file.string()), std::string::npos)
        << member.Dp->LastErrorDetail();
}

} // namespace

namespace {

TEST(RoomSecurity, TheHostShowsItsOwnKeyAndNothingBeforeARoomIsOpen) {
    TPeer host;
    EXPECT_FALSE(host.Dp->RoomSecurity().Encrypted);
    host.Create(FreshPort());
    const DPROOMSECURITY security = host.Dp->RoomSecurity();
    EXPECT_TRUE(security.Encrypted);
    ASSERT_TRUE(security.HostKey);
    EXPECT_EQ(*security.HostKey, TDPService::Acquire()->Tls()->OwnKey());
    host.Dp->Close();
    EXPECT_FALSE(host.Dp->RoomSecurity().HostKey);
}

} // namespace
