// Faults of the service's shell (accepting, links, the directory port) met
// by raw peers: each ends with the room intact and its members talking.
#include "TestFakeHost.h"
#include "TestPeer.h"
#include "TestRawClient.h"
#include "support/Descriptors.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace dplay;
using namespace dplaytest;
using namespace std::chrono;
using testsupport::OpenDescriptors;

namespace {

class ShellFault : public TRoomOfTwo {
  protected:
    void SetUp() override {
        TRoomOfTwo::SetUp();
        auto rooms = RawEnumerate(port, kApp);
        ASSERT_EQ(rooms.size(), 1u);
        instance = rooms[0].Instance;
    }
    TGuid instance;
};

} // namespace

TEST_F(ShellFault, AJoinsDeadlineLeavesALaterJoinAlone) {
    // Joins that ask and go at once: the host frees their links, and later
    // links may be made where they were.
    const auto firstAsked = steady_clock::now();
    for (int i = 0; i < 6; ++i) {
        {
            TRaw first(port);
            ASSERT_TRUE(RawAskToJoin(first, kApp, instance));
        }
        RawEnumerate(port, kApp);
    }
    std::this_thread::sleep_until(firstAsked + milliseconds(proto::kJoinDeadlineMs / 2));
    std::vector<std::unique_ptr<TRaw>> later;
    for (int i = 0; i < 6; ++i) {
        later.push_back(
            std::make_unique<TRaw>(port, ("127.0.0." + std::to_string(30 + i)).c_str()));
        ASSERT_TRUE(RawAskToJoin(*later.back(), kApp, instance));
    }
    // Past the first joins' deadlines, well inside the later ones'.
    std::this_thread::sleep_until(firstAsked + milliseconds(proto::kJoinDeadlineMs * 5 / 4));
    for (size_t i = 0; i < later.size(); ++i) {
        later[i]->Write(proto::EncodeCreatePlayer({1, "later"}));
        auto welcome = later[i]->Read();
        ASSERT_TRUE(welcome) << "later join " << i << " was closed by an earlier one's deadline";
        EXPECT_EQ(welcome->Type, proto::WELCOME);
    }
    ExpectTalking(host, member, "after the deadline");
}

TEST_F(ShellFault, JoinsThatNeverFinishDoNotLockTheRoom) {
    // Nine places asked for from one address and never taken: a room of ten
    // (two inside) would be full for as long as they are held.
    std::vector<std::unique_ptr<TRaw>> stuck;
    for (int i = 0; i < 9; ++i) {
        stuck.push_back(std::make_unique<TRaw>(port, "127.0.0.9"));
        RawAskToJoin(*stuck.back(), kApp, instance);
    }
    TPeer late;
    EXPECT_EQ(late.TryJoin(port, "late"), DP_OK);
    ExpectTalking(host, late, "past the stuck joins");
    ExpectTalking(member, late, "and to the member");
}

TEST_F(ShellFault, AMemberThatNeverAnswersAnIntroductionDoesNotStopLaterJoins) {
    // A member that answers the HELLO of an introduction and then nothing more.
    asio::io_context io;
    asio::ip::tcp::acceptor mute(io, {asio::ip::make_address("127.0.0.1"), 0});
    TRaw toHost(port);
    ASSERT_TRUE(RawJoin(toHost, kApp, instance, mute.local_endpoint().port(), "mute"));
    std::atomic<bool> stop{false};
    std::thread muteMember([&] {
        TRaw intro;
        mute.accept(intro.s);
        intro.Limit();
        intro.Read(); // HELLO
        intro.Read(); // PEER_HELLO
        intro.Write(proto::EncodeHello({kApp}));
        auto ping = proto::EncodeEmpty(proto::PING);
        while (!stop) {
            asio::error_code ec;
            asio::write(toHost.s, asio::buffer(*ping), ec);
            std::this_thread::sleep_for(milliseconds(300));
        }
    });
    TPeer late;
    EXPECT_EQ(late.TryJoin(port, "late"), DP_OK);
    stop = true;
    TRaw wake(mute.local_endpoint().port()); // in case nobody ever came
    muteMember.join();
    ExpectTalking(host, late, "past the mute member");
    ExpectTalking(member, late, "and to the member");
}

TEST_F(ShellFault, AnIntroductionNamingIdZeroOrTheTargetsOwnIdIsRefused) {
    TRaw toHost(port);
    auto welcome = RawJoin(toHost, kApp, instance, 1, "raw");
    ASSERT_TRUE(welcome);
    const proto::TMemberInfo& hostEntry = welcome->Members.at(0);
    for (uint32_t from : {0u, hostEntry.Id}) {
        TRaw intro(hostEntry.Port);
        intro.Request(kApp, proto::EncodePeerHello({instance, hostEntry.Id, {from, 9, 0, 1, "x"}}));
        intro.Read(); // HELLO
        EXPECT_FALSE(intro.Read()) << "introduced as " << from;
    }
    ExpectTalking(host, member, "after the forged introductions");
}

TEST_F(ShellFault, ABlockAboveTheFrameBoundIsRefusedWhereTheSenderSeesIt) {
    std::vector<uint8_t> block(proto::kMaxBlock + 1, 'x');
    EXPECT_EQ(member.Dp->Send(member.Id, host.Id, DPSEND_GUARANTEED, block.data(),
                              uint32_t(block.size())),
              DPERR_SENDTOOBIG);
    EXPECT_EQ(member.Dp->Send(member.Id, DPID_ALLPLAYERS, DPSEND_GUARANTEED, block.data(),
                              uint32_t(block.size())),
              DPERR_SENDTOOBIG);
    // The largest block that fits still goes.
    block.pop_back();
    ASSERT_EQ(member.Dp->Send(member.Id, host.Id, DPSEND_GUARANTEED, block.data(),
                              uint32_t(block.size())),
              DP_OK);
    EXPECT_EQ(host.NextBlock().size(), proto::kMaxBlock);
    ExpectTalking(host, member, "after the big block");
}

namespace {

// A joiner entering a hand-played host whose welcome is `welcome`; the
// joiner's result of CreatePlayer.
HRESULT EnterWithWelcome(const std::function<proto::TWelcome(uint32_t yourId)>& welcome,
                         uint32_t maxPlayers = 10) {
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    const uint16_t port = FreshPort();
    TFakeHost host(port);
    host.room.MaxPlayers = maxPlayers;
    TPeer joiner;
    TRaw join;
    const HRESULT result = host.Enter(joiner, port, join, proto::EncodeWelcome(welcome(0x20)));
    if (!Failed(result)) {
        // Taken in: what the host sends must not pass for a notice or our own text.
        join.Write(proto::EncodeData("\x05\0\0\0\0\0\0\0\x20\0\0\0", 12));
        std::vector<uint8_t> buffer(64);
        DPID from = 0xFFFF, to;
        uint32_t size = 64;
        joiner.Event->Wait(2000);
        while (joiner.Dp->Receive(&from, &to, 0, buffer.data(), &size) == DP_OK) {
            EXPECT_NE(from, DPID_SYSMSG) << "host data taken as a system notice";
            EXPECT_NE(from, joiner.Id) << "host data taken as our own";
            size = 64;
        }
    }
    return result;
}

proto::TMemberInfo Entry(uint32_t id, uint16_t port = 1) {
    return {id, 0, 0x7F000001, port, "m" + std::to_string(id)};
}

} // namespace

TEST(WelcomeFault, AWelcomeNamingIdZeroOrTheJoinersOwnIdIsRefused) {
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t) {
        return proto::TWelcome{0x20, 1, {Entry(0)}};
    }))) << "the host as id 0";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        return proto::TWelcome{you, 1, {Entry(you)}};
    }))) << "the host as the joiner's own id";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        return proto::TWelcome{you, 1, {Entry(0x10), Entry(0x30), Entry(0x30)}};
    }))) << "a member twice";
}

TEST(WelcomeFault, AWelcomeAboveTheRoomsLimitIsRefusedAndHoldsNoDescriptors) {
    const size_t before = OpenDescriptors();
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        proto::TWelcome w{you, 1, {}};
        for (uint32_t i = 0; i < 11; ++i)
            w.Members.push_back(Entry(0x100 + i));
        return w;
    }))) << "eleven in a room of ten";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        proto::TWelcome w{you, 1, {}};
        for (uint32_t i = 0; i < proto::kMaxListed; ++i)
            w.Members.push_back(Entry(0x100 + i));
        return w;
    }))) << "a thousand";
    EXPECT_LT(OpenDescriptors(), before + 16);
}

TEST(RegistrationFault, ARefusedRegistrationFailsTheCreate) {
    // The owner of the directory port is played by hand: it takes the
    // registration's HELLO and then, as for a registrant from elsewhere,
    // closes the link.
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    const uint16_t port = FreshPort();
    TFakeHost owner(port);
    std::atomic<bool> stop{false};
    std::thread refusing([&] {
        while (!stop) {
            TRaw registrant;
            owner.acceptor.accept(registrant.s);
            if (stop) break;
            registrant.Limit();
            if (registrant.Read()) registrant.Write(proto::EncodeHello({TGuid{}}));
            registrant.Read(); // REGISTER
        }
    });
    TPeer host;
    host.Connect(port, "");
    DPSESSIONDESC2 d;
    d.guidApplication = kApp;
    d.sessionName = "room";
    EXPECT_TRUE(Failed(host.Dp->Open(d, DPOPEN_CREATE)));
    stop = true;
    TRaw wake(port);
    refusing.join();
}
