// Rooms of the real service under peers played by hand on
// loopback: introductions the host never announced, hosts whose welcome
// lies, forged senders, DATA out of turn, joins that never finish, broken
// framing. Each ends with the room whole and its honest members talking.
#include "FakeHost.h"
#include "Peer.h"
#include "RawClient.h"

#include "dplay/core/DPRoomCore.h"
#include "dplay/service/DPService.h"
#include "support/Descriptors.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <thread>

using namespace dplay;
using namespace dplaytest;
using testsupport::OpenDescriptors;
using testsupport::PollUntil;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Links end on both sides a moment after the last frame: the count settles
// within a round of closes, or it does not settle at all.
size_t DescriptorsSettled(size_t target) {
    size_t n = OpenDescriptors();
    PollUntil([&] { return (n = OpenDescriptors()) <= target; }, 3000);
    return n;
}

// HELLO and an introduction by hand; true when the member answered it.
bool Introduce(TRaw& raw, const p2::TPeerHello& hello) {
    raw.Request(kApp, p2::EncodePeerHello(hello), p2::kVersion);
    auto answer = raw.Read();
    if (!answer || answer->Type != p2::HELLO) return false;
    answer = raw.Read();
    return answer && answer->Type == p2::PEER_ACCEPT;
}

class HostileRoom : public TRoomOfThree {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TRoomOfThree::SetUp());
        auto rooms = RawEnumerate(port, kApp, p2::kVersion);
        ASSERT_EQ(rooms.size(), 1u);
        instance = rooms[0].Instance;
        memberPort = TDPService::Acquire()->MemberPort();
    }
    // Last in, so that no later admission waits for its HOST_ACK.
    void EnterRaw(const char* source = "127.0.0.1") {
        raw = std::make_unique<TRawMember>(port, source);
        ASSERT_TRUE(raw->Enter(kApp, instance));
        // Everyone has taken it in once a block from each reaches it.
        ExpectRawTalks(host);
        ExpectRawTalks(a);
    }
    // The hand-played member and an honest one, both ways, sender as sent.
    void ExpectRawTalks(TPeer& peer, const std::string& text = "raw") {
        raw->Send(peer.Id, text + " to peer");
        DPID from = 0;
        EXPECT_EQ(peer.NextBlock(10000, &from), text + " to peer");
        EXPECT_EQ(from, raw->Id());
        ASSERT_EQ(peer.Dp->Send(peer.Id, raw->Id(), DPSEND_GUARANTEED, text.data(),
                                uint32_t(text.size())),
                  DP_OK);
        uint32_t sender = 0;
        EXPECT_EQ(raw->Next(&sender), text);
        EXPECT_EQ(sender, peer.Id);
    }
    void ExpectRoomTalks(const std::string& text) {
        ExpectTalking(host, a, text);
        ExpectTalking(a, b, text);
        ExpectTalking(b, host, text);
    }
    uint16_t memberPort = 0;
    TGuid instance;
    std::unique_ptr<TRawMember> raw;
};

} // namespace

TEST_F(HostileRoom, IntroductionsTheHostDidNotAnnounceAreRefused) {
    ASSERT_NO_FATAL_FAILURE(EnterRaw());
    // A second room of the process: its ids and instance are foreign here.
    TPeer other;
    other.Create(FreshPort());
    const TGuid otherInstance = TGuid::Create();
    p2::TSecret guessed;
    guessed.fill(0x5A);
    const size_t before = OpenDescriptors();
    struct TCase {
        const char* What;
        p2::TPeerHello Hello;
    };
    const std::vector<TCase> cases = {
        {"an id no host announced", {instance, a.Id, 0x1234567, guessed}},
        {"an announced id with a guessed secret", {instance, a.Id, raw->Id(), guessed}},
        {"another member's id with a secret of our own", {instance, a.Id, b.Id, raw->Secret(a.Id)}},
        {"the host's id", {instance, a.Id, host.Id, raw->Secret(a.Id)}},
        {"the target's own id", {instance, a.Id, a.Id, raw->Secret(a.Id)}},
        {"a member of another room", {instance, a.Id, other.Id, raw->Secret(a.Id)}},
        {"another room's instance", {otherInstance, a.Id, raw->Id(), raw->Secret(a.Id)}},
        {"a target not in the room", {instance, 0x7654321, raw->Id(), raw->Secret(a.Id)}},
    };
    const auto start = Clock::now();
    std::vector<std::unique_ptr<TRaw>> links;
    for (auto& c : cases) {
        links.push_back(std::make_unique<TRaw>(memberPort));
        links.back()->Request(kApp, p2::EncodePeerHello(c.Hello), p2::kVersion);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        auto first = links[i]->Read();
        auto answer = first && first->Type == p2::HELLO ? links[i]->Read() : first;
        EXPECT_FALSE(answer) << cases[i].What << ": answered with type " << int(answer->Type);
    }
    // Unknown ids wait briefly for their MEMBER_ADDED, the rest not at all.
    EXPECT_LT(MsSince(start), room::kIntroHoldMs + 1500);
    links.clear();
    EXPECT_LE(DescriptorsSettled(before), before);

    // The hand-played member itself, with its own secret, is let in directly.
    {
        TRaw direct(memberPort);
        ASSERT_TRUE(Introduce(direct, {instance, a.Id, raw->Id(), raw->Secret(a.Id)}));
    }
    ExpectRoomTalks("after the introductions");
    EXPECT_EQ(PlayersOf(a), (std::set<DPID>{host.Id, b.Id, raw->Id()}));
    EXPECT_EQ(PlayersOf(b), (std::set<DPID>{host.Id, a.Id, raw->Id()}));
    ExpectRawTalks(a, "after its direct link");
}

TEST_F(HostileRoom, TheSenderOfABlockIsTheLinkItCameOnNeverWhatTheFrameSays) {
    ASSERT_NO_FATAL_FAILURE(EnterRaw());
    // Through the host, a RELAY names only the target: the host stamps the
    // sender from the link, so B hears it from the raw member.
    ExpectRawTalks(b, "through the host");
    // On a direct link, a RELAY or a view frame claims to come from the
    // host: the member drops that link at once and takes nothing from it.
    const auto start = Clock::now();
    {
        TRaw direct(memberPort);
        ASSERT_TRUE(Introduce(direct, {instance, a.Id, raw->Id(), raw->Secret(a.Id)}));
        direct.Write(RawRelay2(b.Id, 1, "forged as b"));
        EXPECT_TRUE(direct.Closed());
    }
    {
        // Cut off for it: A reaches the raw member only through the host now.
        TRaw direct(memberPort);
        EXPECT_FALSE(Introduce(direct, {instance, a.Id, raw->Id(), raw->Secret(a.Id)}));
    }
    EXPECT_LT(MsSince(start), room::kSilenceMs / 4) << "dropped only when silent";
    // B's own blocks, numbered from 1 as the forged one was: none is taken
    // for a duplicate, all arrive under B's id.
    for (int i = 1; i <= 3; ++i) {
        std::string text = "b " + std::to_string(i);
        ASSERT_EQ(b.Dp->Send(b.Id, a.Id, DPSEND_GUARANTEED, text.data(), uint32_t(text.size())),
                  DP_OK);
    }
    for (int i = 1; i <= 3; ++i) {
        DPID from = 0;
        EXPECT_EQ(a.NextBlock(10000, &from), "b " + std::to_string(i));
        EXPECT_EQ(from, b.Id);
    }
    EXPECT_EQ(PlayersOf(a), (std::set<DPID>{host.Id, b.Id, raw->Id()}));
    ExpectRoomTalks("after the forgeries");
    ExpectRawTalks(a, "back through the host");
}

TEST_F(HostileRoom, DataOutOfTurnIsRefusedAndEmptyBlocksLeaveTheReceiverListening) {
    {
        // DATA instead of CREATE_PLAYER.
        TRaw join(port, "127.0.0.2");
        ASSERT_TRUE(RawAskToJoin(join, kApp, instance, p2::kVersion));
        join.Write(RawData2(1, "instead of entering"));
        EXPECT_TRUE(join.Closed());
    }
    {
        // DATA right behind CREATE_PLAYER: the newcomer is announced, but
        // its welcome waits for the members, and it may send nothing yet.
        TRaw join(port, "127.0.0.3");
        ASSERT_TRUE(RawAskToJoin(join, kApp, instance, p2::kVersion));
        auto bytes = *proto::EncodeCreatePlayer({0, "early"});
        auto data = RawData2(1, "before the welcome");
        bytes.insert(bytes.end(), data->begin(), data->end());
        join.Write(bytes.data(), bytes.size());
        EXPECT_TRUE(join.Closed());
    }
    {
        // DATA as the request, and on an introduction still held.
        TRaw request(port, "127.0.0.4");
        request.Request(kApp, RawData2(1, "as a request"), p2::kVersion);
        EXPECT_TRUE(request.Closed());
        TRaw held(port, "127.0.0.4");
        p2::TSecret guessed;
        guessed.fill(1);
        held.Request(kApp, p2::EncodePeerHello({instance, a.Id, 0x4444, guessed}), p2::kVersion);
        const auto start = Clock::now();
        held.Write(RawData2(1, "while held"));
        EXPECT_TRUE(held.Closed());
        EXPECT_LT(MsSince(start), room::kIntroHoldMs / 2);
    }
    ASSERT_NO_FATAL_FAILURE(EnterRaw());
    // Empty blocks are blocks: delivered empty, and what follows arrives.
    for (TPeer* peer : {&host, &a}) {
        raw->Send(peer->Id, "");
        raw->Send(peer->Id, "after the empty block");
        DPID from = 0;
        EXPECT_EQ(peer->NextBlock(10000, &from), "");
        EXPECT_EQ(from, raw->Id());
        EXPECT_EQ(peer->NextBlock(), "after the empty block");
    }
    // A DATA frame without even a sequence number ends its link, nothing else.
    const uint8_t emptyFrame[5] = {1, 0, 0, 0, p2::DATA};
    const auto start = Clock::now();
    raw->raw.Write(emptyFrame, sizeof emptyFrame);
    EXPECT_TRUE(raw->raw.Closed());
    EXPECT_LT(MsSince(start), room::kSilenceMs / 4) << "cut off only when silent";
    ExpectRoomTalks("after the empty frame");
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
}

TEST_F(HostileRoom, JoinsThatNeverFinishHoldNoPlaceAndEndAtTheirDeadline) {
    const size_t before = OpenDescriptors();
    const auto start = Clock::now();
    // Nine joins from nine addresses, more than the room's free places:
    // some silent after JOIN_ACCEPT, some pinging, none sending CREATE_PLAYER.
    std::vector<std::unique_ptr<TRaw>> joins;
    for (int i = 0; i < 9; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i);
        joins.push_back(std::make_unique<TRaw>(port, source.c_str()));
        ASSERT_TRUE(RawAskToJoin(*joins.back(), kApp, instance, p2::kVersion)) << i;
        if (i % 2) joins.back()->Write(p2::EncodeEmpty(p2::PING));
    }
    // And handshakes that stop mid-frame: in the HELLO, in the request.
    std::vector<std::unique_ptr<TRaw>> cut;
    for (uint16_t at : {port, memberPort}) {
        auto hello = p2::EncodeHello({kApp});
        cut.push_back(std::make_unique<TRaw>(at, "127.0.0.20"));
        cut.back()->Write(hello->data(), hello->size() - 3);
        auto request = proto::EncodeJoinRequest(instance);
        cut.push_back(std::make_unique<TRaw>(at, "127.0.0.21"));
        cut.back()->Write(hello->data(), hello->size());
        cut.back()->Write(request->data(), request->size() - 5);
    }
    // Meanwhile an honest member enters and talks.
    {
        TPeer late;
        ASSERT_EQ(late.TryJoin(port, "late"), DP_OK);
        ExpectTalking(late, a, "while the joins hang");
        ExpectTalking(b, late, "while the joins hang");
        late.Dp->Close();
    }
    for (size_t i = 0; i < joins.size(); ++i)
        EXPECT_TRUE(joins[i]->Closed()) << i;
    for (auto& c : cut)
        EXPECT_TRUE(c->Closed());
    EXPECT_LT(MsSince(start), room::kJoinDeadlineMs + 1500);
    joins.clear();
    cut.clear();
    EXPECT_LE(DescriptorsSettled(before), before);
    ExpectRoomTalks("after the joins");
}

TEST_F(HostileRoom, AJoinAtTheMomentAnEarlierJoinsDeadlineFiresIsNotClosedByIt) {
    TRaw first(port, "127.0.0.2");
    ASSERT_TRUE(RawAskToJoin(first, kApp, instance, p2::kVersion));
    const auto accepted = Clock::now();
    std::this_thread::sleep_until(accepted + std::chrono::milliseconds(room::kJoinDeadlineMs - 30));
    // Two more, from the same address and from another, just before it fires.
    TRawMember same(port, "127.0.0.2"), elsewhere(port, "127.0.0.3");
    ASSERT_TRUE(RawAskToJoin(same.raw, kApp, instance, p2::kVersion));
    ASSERT_TRUE(RawAskToJoin(elsewhere.raw, kApp, instance, p2::kVersion));
    EXPECT_TRUE(first.Closed());
    EXPECT_LT(MsSince(accepted), room::kJoinDeadlineMs + 1000);
    // Their own deadlines are still ahead: both enter.
    for (TRawMember* m : {&same, &elsewhere}) {
        m->raw.Write(proto::EncodeCreatePlayer({0, "late"}));
        auto welcome = m->raw.Read();
        ASSERT_TRUE(welcome && welcome->Type == p2::WELCOME);
        auto decoded = p2::DecodeWelcome(welcome->Body.data(), welcome->Body.size());
        ASSERT_TRUE(decoded);
        m->welcome = *decoded;
    }
    for (TRawMember* m : {&same, &elsewhere}) {
        m->Send(a.Id, "entered");
        DPID from = 0;
        EXPECT_EQ(a.NextBlock(10000, &from), "entered");
        EXPECT_EQ(from, m->Id());
    }
    ExpectRoomTalks("after the late joins");
}

TEST_F(HostileRoom, GarbageAndImpossibleLengthsCutOnlyTheirOwnLink) {
    ASSERT_NO_FATAL_FAILURE(EnterRaw());
    const std::string garbage = "GET / HTTP/1.0\r\n\r\n";
    const uint8_t huge[5] = {0xFF, 0xFF, 0xFF, 0xFF, p2::DATA}; // a 4 GiB frame
    // Each is cut off at once, long before the handshake deadline.
    const auto start = Clock::now();
    for (uint16_t at : {port, memberPort}) {
        TRaw g(at);
        g.Write(garbage.data(), garbage.size());
        EXPECT_TRUE(g.Closed());
        TRaw h(at);
        h.Write(huge, sizeof huge);
        EXPECT_TRUE(h.Closed());
        TRaw old(at); // version 1
        old.Request(kApp, proto::EncodeEmpty(proto::ENUM_REQUEST), 1);
        EXPECT_TRUE(old.Closed());
    }
    EXPECT_LT(MsSince(start), proto::kHandshakeTimeoutMs / 2);
    // On a direct member link: only that link ends, the pair goes through the host.
    {
        TRaw direct(memberPort);
        ASSERT_TRUE(Introduce(direct, {instance, a.Id, raw->Id(), raw->Secret(a.Id)}));
        direct.Write(garbage.data(), garbage.size());
        EXPECT_TRUE(direct.Closed());
    }
    ExpectRawTalks(a, "after the garbage");
    // On its link to the host: the member is removed, the room carries on.
    raw->raw.Write(huge, sizeof huge);
    EXPECT_TRUE(raw->raw.Closed());
    ExpectRoomTalks("after the huge frame");
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
}

namespace {

// A joiner entering a host played by hand whose welcome says
// what `welcome` makes of the joiner's id; its CreatePlayer result.
HRESULT EnterWithWelcome(const std::function<p2::TWelcome(uint32_t you)>& welcome) {
    const uint16_t port = FreshPort();
    TFakeHost fake(port);
    fake.version = p2::kVersion;
    fake.room.MaxPlayers = 10;
    TPeer joiner;
    TRaw join;
    const HRESULT result = fake.Enter(joiner, port, join, p2::EncodeWelcome(welcome(0x20)));
    if (Failed(result)) {
        EXPECT_TRUE(join.Closed()) << "the joiner keeps the host link";
    }
    return result;
}

p2::TViewEntry Entry(uint32_t id, uint32_t joinNumber) {
    return {id, joinNumber, TNetAddress::FromIpv4(0x7F000001), 1, "m" + std::to_string(id), {}};
}

// The host (0x10, join number 0), `others` members, then the joiner.
p2::TWelcome View(uint32_t you, uint32_t others) {
    p2::TWelcome w;
    w.YourId = you;
    w.Secrets.assign(others + 2, p2::TSecret{});
    w.View.View = 5;
    w.View.HostId = 0x10;
    w.View.Members.push_back(Entry(0x10, 0));
    w.View.Members.front().Address = {};
    for (uint32_t i = 0; i < others; ++i)
        w.View.Members.push_back(Entry(0x100 + i, 1 + i));
    w.View.Members.push_back(Entry(you, 1 + others));
    KeysOfTheJoin(w);
    return w;
}

} // namespace

TEST_F(HostileRoom, AWelcomeThatLiesIsRefusedAndHoldsNoDescriptors) {
    const size_t before = OpenDescriptors();
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        auto w = View(you, 1);
        w.View.Members[1].Id = 0;
        return w;
    }))) << "a member as id 0";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        auto w = View(you, 0);
        w.View.HostId = w.View.Members[0].Id = 0;
        return w;
    }))) << "the host as id 0";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        auto w = View(you, 1);
        w.View.Members[1].Id = you;
        return w;
    }))) << "the joiner's own id as another member";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) {
        auto w = View(you, 1);
        w.View.HostId = w.View.Members[0].Id = you;
        w.View.Members.pop_back();
        return w;
    }))) << "the joiner's own id as the host";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) { return View(you, 9); })))
        << "eleven in a room of ten";
    EXPECT_TRUE(Failed(EnterWithWelcome([](uint32_t you) { return View(you, 998); })))
        << "a thousand";
    EXPECT_LE(DescriptorsSettled(before), before);
    // The same host with an honest welcome, full to the limit, is entered.
    EXPECT_EQ(EnterWithWelcome([](uint32_t you) { return View(you, 8); }), DP_OK);
    ExpectRoomTalks("after the lying hosts");
}

TEST_F(HostileRoom, AFrameThatBeganMustFinishButAStallWaitsForTheSilenceBound) {
    // Three members played by hand, each with a PING on its link to the host
    // and the first half of a 1,000-byte DATA frame: one goes silent (a
    // stall; its half frame comes 4 s after its PING, and only whole frames
    // say a link is alive, so its silence counts from the PING), one sends
    // PINGs that the frame swallows (cut short), one sends the rest a byte
    // every 250 ms (a trickle).
    std::vector<std::unique_ptr<TRawMember>> m;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        m.push_back(std::make_unique<TRawMember>(port, source));
        ASSERT_TRUE(m.back()->Enter(kApp, instance));
    }
    const auto frame = RawData2(1, std::string(1000 - 9, 'x'));
    auto ping = *p2::EncodeEmpty(p2::PING);
    std::vector<uint8_t> begun(ping);
    begun.insert(begun.end(), frame->begin(), frame->begin() + 500);
    m[0]->raw.Write(ping.data(), ping.size());
    for (int i : {1, 2})
        m[i]->raw.Write(begun.data(), begun.size());
    const auto start = Clock::now();
    constexpr int kStallAfterMs = 4000;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (size_t at = 500; !stop; ++at) {
            m[1]->raw.TryWrite(ping.data(), ping.size());
            if (at < frame->size()) m[2]->raw.TryWrite(&(*frame)[at], 1);
            if (at == 500 + kStallAfterMs / 250) m[0]->raw.TryWrite(frame->data(), 500);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    int64_t ended[3] = {};
    for (int i : {1, 2, 0}) {
        EXPECT_TRUE(m[i]->raw.Closed()) << i;
        ended[i] = MsSince(start);
    }
    stop = true;
    writer.join();
    EXPECT_LT(ended[1], room::kSilenceMs - 2000) << "a frame cut short was waited for";
    EXPECT_LT(ended[2], room::kSilenceMs - 2000) << "a trickle was waited for";
    EXPECT_GE(ended[0], proto::kKeepaliveTimeoutMs - 1000)
        << "a stall cut before the silence bound";
    EXPECT_LT(ended[0], room::kSilenceMs + kStallAfterMs / 2)
        << "the half frame counted as a sign of life";
    ExpectRoomTalks("after the unfinished frames");
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
}

namespace {

// Reads a member's host link to its end: how many of the host's blocks of
// `size` bytes came, and the type of the last frame (0 for none).
std::pair<int, uint8_t> ReadToTheEnd(TRaw& raw, size_t size) {
    int blocks = 0;
    uint8_t last = 0;
    while (auto f = raw.Read()) {
        if (auto block = RawBlock2(*f); block && block->size() == size) ++blocks;
        last = f->Type;
    }
    return {blocks, last};
}

// The players a member lists once it has taken every notice waiting for it.
std::set<DPID> PlayersNow(TPeer& peer) {
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        DPID from, to;
        uint32_t size = uint32_t(buffer.size());
        HRESULT hr = peer.Dp->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
        if (hr == DPERR_BUFFERTOOSMALL) buffer.resize(size);
        else if (hr != DP_OK) return PlayersOf(peer);
    }
}

} // namespace

TEST_F(HostileRoom, AMemberThatDoesNotReadReadsWhyItWasRemovedAfterAllItWasSent) {
    // Two members played by hand that read nothing and acknowledge nothing:
    // one silent, removed at the silence bound, and one that pings, removed
    // when what the host sent it has gone unacknowledged too long. The
    // host's blocks to each are more than the sockets hold: the rest waits
    // at the host when it removes them.
    TRawMember silent(port, "127.0.0.2");
    ASSERT_TRUE(silent.Enter(kApp, instance));
    TDeafMember deaf(port, "127.0.0.3");
    ASSERT_TRUE(deaf.Enter(port, kApp));
    ASSERT_TRUE(PollUntil([&] { return PlayersNow(host).size() == 4; }, 10000));
    constexpr size_t kBlock = 4 << 20;
    constexpr int kBlocks = 6;
    const std::string block(kBlock, 'x');
    for (uint32_t to : {silent.Id(), deaf.Member.Id()})
        for (int i = 0; i < kBlocks; ++i)
            ASSERT_EQ(host.Dp->Send(host.Id, to, DPSEND_GUARANTEED, block.data(), kBlock), DP_OK);

    // Each reads, once removed, everything it was sent and then REMOVED,
    // the last frame before the end of the stream.
    const auto start = Clock::now();
    ASSERT_TRUE(PollUntil([&] { return !PlayersNow(host).count(silent.Id()); },
                          room::kSilenceMs + 5000));
    EXPECT_EQ(ReadToTheEnd(silent.raw, kBlock), std::make_pair(kBlocks, uint8_t(p2::REMOVED)));
    ASSERT_TRUE(PollUntil([&] { return !PlayersNow(host).count(deaf.Member.Id()); },
                          room::kAckTimeoutMs + 5000));
    EXPECT_GE(MsSince(start), room::kAckTimeoutMs - 2000) << "removed before the bound";
    deaf.StopPinging();
    EXPECT_EQ(ReadToTheEnd(deaf.Member.raw, kBlock),
              std::make_pair(kBlocks, uint8_t(p2::REMOVED)));
    ExpectRoomTalks("after the removals");
    EXPECT_EQ(PlayersOf(host), (std::set<DPID>{a.Id, b.Id}));
}
