// Faults of the service's shell (accepting, links, the directory port) met
// by raw peers: each ends with the room intact and its members talking.
#include "FakeHost.h"
#include "Peer.h"
#include "RawClient.h"
#include "dplay/core/DPRoomCore.h"
#include "dplay/links/DPLink.h"
#include "dplay/links/DPOnce.h"
#include "dplay/service/DPService.h"
#include "support/SilentListener.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <vector>

using namespace dplay;
using namespace dplaytest;
using namespace std::chrono;

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

TEST_F(ShellFault, AMemberThatNeverAnswersAnIntroductionDoesNotStopLaterJoins) {
    // A member that answers the HELLO of an introduction and then nothing more.
    asio::io_context io;
    asio::ip::tcp::acceptor mute(io, {asio::ip::make_address("127.0.0.1"), 0});
    TRaw toHost(port);
    ASSERT_TRUE(RawJoin2(toHost, kApp, instance, mute.local_endpoint().port(), "mute"));
    std::atomic<bool> stop{false};
    std::thread muteMember([&] {
        TRaw intro;
        mute.accept(intro.s);
        intro.Limit();
        if (!intro.Secure(true)) return;
        intro.Read(); // HELLO
        intro.Read(); // PEER_HELLO
        intro.Write(p2::EncodeHello({kApp}));
        auto ping = p2::EncodeEmpty(p2::PING);
        while (!stop) {
            toHost.TryWrite(ping->data(), ping->size());
            std::this_thread::sleep_for(milliseconds(300));
        }
    });
    TPeer late;
    EXPECT_EQ(late.TryJoin(port, "late"), DP_OK);
    stop = true;
    TRaw wake(mute.local_endpoint().port(), true); // in case nobody ever came
    muteMember.join();
    ExpectTalking(host, late, "past the mute member");
    ExpectTalking(member, late, "and to the member");
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
            if (!registrant.Secure(true)) continue;
            if (registrant.Read()) registrant.Write(p2::EncodeHello({TGuid{}}));
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
    TRaw wake(port, true);
    refusing.join();
}

TEST_F(ShellFault, ARegistrationTrickledAByteAtATimeIsCutOff) {
    // A registration link keeps itself alive on every byte; a ROOM_ADD that
    // never finishes must end it all the same.
    TRaw registrant(port);
    registrant.Request(TGuid{}, proto::EncodeEmpty(proto::REGISTER));
    auto hello = registrant.Read();
    uint8_t taken[5] = {}; // the owner's PING, which Read() would pass over
    ASSERT_TRUE(hello && registrant.ReadAll(taken, 5) && taken[4] == proto::PING)
        << "the registration was not taken";
    proto::TRoomInfo room{kApp, TGuid::Create(), 1, 10, 1, std::string(4000, 'r')};
    const auto add = proto::EncodeRoomAdd(room);
    const auto start = steady_clock::now();
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        // For 15 s at most: were the link never cut, it would end at the
        // silence bound after the last byte.
        for (size_t at = 0; at < add->size() && !stop && steady_clock::now() - start < seconds(15);
             ++at) {
            registrant.TryWrite(&(*add)[at], 1);
            std::this_thread::sleep_for(milliseconds(250));
        }
    });
    EXPECT_TRUE(registrant.Closed());
    stop = true;
    trickle.join();
    EXPECT_LT(steady_clock::now() - start, milliseconds(proto::kKeepaliveTimeoutMs));
    EXPECT_EQ(RawEnumerate(port, kApp).size(), 1u);
    ExpectTalking(host, member, "after the trickle");
}

// Friends behind one home router enter at once from one address: the
// service keeps as many of their joins as the room takes from one source.
TEST_F(ShellFault, JoinsFromOneAddressUpToTheRoomsBoundAreAllKept) {
    std::vector<std::unique_ptr<TRaw>> joins;
    for (size_t i = 0; i < room::kMaxPendingJoinsPerAddress; ++i) {
        joins.push_back(std::make_unique<TRaw>(port, "127.0.0.6"));
        ASSERT_TRUE(RawAskToJoin(*joins.back(), kApp, instance)) << "join " << i;
    }
    // The first is still waiting for its CREATE_PLAYER, not closed for the later ones.
    joins.front()->Write(proto::EncodeCreatePlayer({0, "first"}));
    auto welcome = joins.front()->Read();
    ASSERT_TRUE(welcome) << "the first join was closed";
    EXPECT_EQ(welcome->Type, p2::WELCOME);
}

// A name with addresses of both families where one family never answers (a
// firewall that drops, a broken route): the next address is tried before the
// first gives up, and the first answer wins.
TEST(DialFirst, AnAddressThatNeverAnswersDoesNotHoldUpTheNext) {
    auto service = TDPService::Acquire();
    testsupport::TSilentListener silent;
    ASSERT_TRUE(silent.Ok());
    const auto loopback = asio::ip::make_address("127.0.0.1");
    std::vector<asio::ip::tcp::endpoint> endpoints = {{loopback, silent.Port()},
                                                      {loopback, service->MemberPort()}};
    auto answered = std::make_shared<TDPOnce<bool>>();
    asio::post(service->Io(), [&service, endpoints, answered] {
        service->DialFirst(
            endpoints, kApp, proto::EncodeEmpty(proto::ENUM_REQUEST),
            [answered](const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t*, size_t) {
                // Only the service answers: the silent address never says a word.
                answered->Set(type == proto::ENUM_REPLY);
                link->Close();
                return false;
            },
            [answered](TLinkEnd) { answered->Set(false); });
    });
    // Well before the silent address's handshake deadline.
    auto reply = answered->Wait(proto::kHandshakeTimeoutMs / 2);
    ASSERT_TRUE(reply) << "the second address was not tried while the first hung";
    EXPECT_TRUE(*reply);
}

TEST(DialFirst, WhenEveryAddressFailsTheEndIsToldOnce) {
    auto service = TDPService::Acquire();
    const auto loopback = asio::ip::make_address("127.0.0.1");
    // Ports nobody listens on: refused at once.
    uint16_t closed[2] = {};
    for (uint16_t& p : closed) {
        testsupport::TSilentListener gone;
        p = gone.Port();
    }
    auto ended = std::make_shared<TDPOnce<TLinkEnd>>();
    auto ends = std::make_shared<std::atomic<int>>(0);
    asio::post(service->Io(), [&service, loopback, closed, ended, ends] {
        service->DialFirst(
            {{loopback, closed[0]}, {loopback, closed[1]}}, kApp,
            proto::EncodeEmpty(proto::ENUM_REQUEST),
            [](const std::shared_ptr<TDPLink>&, uint8_t, const uint8_t*, size_t) { return false; },
            [ended, ends](TLinkEnd why) {
                ++*ends;
                ended->Set(why);
            });
    });
    ASSERT_TRUE(ended->Wait(proto::kHandshakeTimeoutMs));
    // Anything more would have come right behind the first.
    service->RunSync([] { return 0; });
    EXPECT_EQ(ends->load(), 1);
}

namespace {

// A link let go with `bytes` queued for a raw peer on loopback, which reads
// as the test likes; Closed says, once the link has ended, whether it
// counted everything as delivered.
class TLeavingLink {
  public:
    TLeavingLink(size_t bytes, int maxMs) {
        asio::ip::tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
        asio::ip::tcp::socket own(service_->Io());
        own.connect(acceptor.local_endpoint());
        acceptor.accept(peer_);
        service_->RunSync([&] {
            // In the clear, so that a raw reader sees the bytes; the end of a
            // TLS link is counted the same way (the cli room tests see it).
            link_ = std::make_shared<TDPLink>(std::move(own), nullptr, false);
            link_->Start([](uint8_t, const uint8_t*, size_t) { return true; }, [](TLinkEnd) {});
            link_->HandOverKeepalive(proto::kMaxFrame);
            constexpr size_t kFrame = 64 * 1024;
            auto frame = std::make_shared<const std::vector<uint8_t>>(kFrame, 'x');
            for (size_t queued = 0; queued < bytes; queued += kFrame)
                link_->Send(frame);
            link_->WhenClosed([link = link_.get(), closed = closed_] {
                closed->Set(link->Delivered());
            });
            link_->CloseAfterSend(maxMs);
            return 0;
        });
    }
    ~TLeavingLink() {
        service_->RunSync([this] {
            link_->Close();
            link_.reset();
            return 0;
        });
    }
    // Reads `chunk` bytes at a time, `every` apart, to the end of stream;
    // then closes, as a member does once it read its peer's goodbye.
    size_t ReadAll(size_t chunk, milliseconds every) {
        std::vector<uint8_t> buffer(chunk);
        size_t total = 0;
        for (;;) {
            asio::error_code ec;
            size_t n = asio::read(peer_, asio::buffer(buffer), ec);
            total += n;
            if (ec) break;
            std::this_thread::sleep_for(every); // the reader's pace
        }
        peer_.close();
        return total;
    }
    // Reads `bytes`, then closes with the rest unread: the link is reset.
    void ReadSomeAndGo(size_t bytes) {
        std::vector<uint8_t> buffer(bytes);
        asio::error_code ec;
        asio::read(peer_, asio::buffer(buffer), ec);
        peer_.close();
    }
    std::optional<bool> Closed(int timeoutMs) { return closed_->Wait(timeoutMs); }

  private:
    std::shared_ptr<TDPService> service_ = TDPService::Acquire();
    asio::io_context io_;
    asio::ip::tcp::socket peer_{io_};
    std::shared_ptr<TDPLink> link_;
    std::shared_ptr<TDPOnce<bool>> closed_ = std::make_shared<TDPOnce<bool>>();
};

} // namespace

TEST(LeavingLink, AReaderThatKeepsTakingGetsEverythingHoweverLongItTakes) {
    // 3 MiB read 128 KiB every 200 ms: about 5 s, five times the bound, and
    // never a second without progress.
    constexpr size_t kBytes = 3u << 20;
    TLeavingLink leaving(kBytes, 1000);
    EXPECT_EQ(leaving.ReadAll(128 * 1024, milliseconds(200)), kBytes);
    auto delivered = leaving.Closed(5000);
    ASSERT_TRUE(delivered) << "the link never ended";
    EXPECT_TRUE(*delivered);
}

TEST(LeavingLink, AReaderThatTakesNothingIsGivenUpOnAfterTheBoundAndNothingCountsAsDelivered) {
    TLeavingLink leaving(16u << 20, 1000);
    const auto start = steady_clock::now();
    auto delivered = leaving.Closed(10000);
    ASSERT_TRUE(delivered) << "still waiting for a reader that takes nothing";
    EXPECT_FALSE(*delivered);
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
}

TEST(LeavingLink, AReaderThatGoesWithoutReadingEverythingIsNoDelivery) {
    TLeavingLink leaving(4u << 20, 10000);
    leaving.ReadSomeAndGo(64 * 1024);
    auto delivered = leaving.Closed(5000);
    ASSERT_TRUE(delivered) << "the reset went unnoticed";
    EXPECT_FALSE(*delivered);
}
