// One room core at a time against scripted peers: the hostile inputs a
// network can bring (forged welcomes and introductions, data before
// admission, relays naming someone else, empty frames) and the bookkeeping
// that must not mix up links and timers.
#include "dplay/core/DPCoverMark.h"
#include "dplay/core/DPRoomCore.h"
#include "dplay/protocol/DPWireWriter.h"
#include "entry/ApplicationGuid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace dplay;
namespace p2 = dplay::proto2;

namespace {

const TGuid kApp = *TGuid::Parse(entry::kApplicationGuid);
const TGuid kRoom = *TGuid::Parse("{11111111-2222-3333-4444-555555555555}");

struct TDriver {
    TRoomCore Core{42};
    int64_t Now = 0;
    std::vector<TCoreAction> Log;

    std::vector<TLinkId> Members;       // scripted members admitted by a hosting core
    std::map<TTimerId, int64_t> Timers; // set and not yet fired or cancelled: when due

    void Take() {
        EXPECT_EQ(Core.CheckInvariants(), "");
        for (auto& a : Core.TakeActions()) {
            if (a.Kind == TCoreAction::SetTimer) Timers[a.Timer] = Now + a.DelayMs;
            if (a.Kind == TCoreAction::CancelTimer) Timers.erase(a.Timer);
            Log.push_back(std::move(a));
        }
    }
    void Feed(TLinkId link, const p2::TFrame& f) {
        Core.OnFrame(Now, link, (*f)[4], f->data() + 5, f->size() - 5);
        Take();
    }
    void Accept(TLinkId link, const p2::TFrame& request, const TNetAddress& from) {
        Core.OnLinkAccepted(Now, link, from, (*request)[4], request->data() + 5,
                            request->size() - 5);
        Take();
    }
    void Accept(TLinkId link, const p2::TFrame& request, uint32_t ipv4 = 0x7F000002) {
        Accept(link, request, TNetAddress::FromIpv4(ipv4));
    }
    // Time passes with the shell's ticks, as it does for a running process.
    void Pass(int64_t ms) {
        for (int64_t end = Now + ms; Now < end;) {
            Now = std::min(end, Now + 250);
            Core.OnTick(Now);
            Take();
            for (auto it = Timers.begin(); it != Timers.end();) {
                if (it->second > Now) {
                    ++it;
                    continue;
                }
                TTimerId id = it->first;
                it = Timers.erase(it);
                Core.OnTimer(Now, id);
                Take();
                it = Timers.begin();
            }
        }
    }
    // The peer on `link` says goodbye and its stream ends.
    void Goodbye(TLinkId link) {
        Feed(link, p2::EncodeEmpty(p2::BYE));
        Core.OnLinkEnded(Now, link, TCoreLinkEnd::Closed);
        Take();
    }
    // Frames of `type` written on `link` (sent, or written last before a close).
    std::vector<std::vector<uint8_t>> Sent(TLinkId link, uint8_t type) const {
        std::vector<std::vector<uint8_t>> out;
        for (auto& a : Log)
            if ((a.Kind == TCoreAction::Send || a.Kind == TCoreAction::Close) && a.Link == link &&
                a.Frame && (*a.Frame)[4] == type)
                out.emplace_back(a.Frame->begin() + 5, a.Frame->end());
        return out;
    }
    bool Closed(TLinkId link) const {
        for (auto& a : Log)
            if (a.Kind == TCoreAction::Close && a.Link == link) return true;
        return false;
    }
    std::vector<TCoreAction> Delivered() const {
        std::vector<TCoreAction> out;
        for (auto& a : Log)
            if (a.Kind == TCoreAction::Deliver) out.push_back(a);
        return out;
    }
    bool Notice(uint32_t type) const {
        for (auto& a : Delivered()) {
            uint32_t t = 0;
            if (a.From == 0 && a.Bytes.size() >= 4) std::memcpy(&t, a.Bytes.data(), 4);
            if (a.From == 0 && t == type) return true;
        }
        return false;
    }
    const TCoreAction* Finished(TCoreAction::TCall call) const {
        for (auto& a : Log)
            if (a.Kind == TCoreAction::Finish && a.Call == call) return &a;
        return nullptr;
    }
    TTimerId LastTimer() const {
        for (auto it = Log.rbegin(); it != Log.rend(); ++it)
            if (it->Kind == TCoreAction::SetTimer) return it->Timer;
        return 0;
    }
};

// Whether the branch marked `name` was taken since this was made.
class TCoverSeen {
  public:
    explicit TCoverSeen(std::string name) : name_(std::move(name)), before_(cover::Hits(name_)) {}
    bool Taken() const { return cover::Hits(name_) > before_; }

  private:
    std::string name_;
    uint64_t before_;
};

// A hosting core with its own player.
void Host(TDriver& d, uint32_t maxPlayers = 10) {
    proto::TRoomInfo room;
    room.Application = kApp;
    room.Instance = kRoom;
    room.MaxPlayers = maxPlayers;
    room.Name = "room";
    d.Core.Create(d.Now, room);
    d.Core.CreatePlayer(d.Now, "host", 5000);
    d.Take();
}

// Admits a scripted member on `link`; returns its welcome.
p2::TWelcome Admit(TDriver& d, TLinkId link, const std::string& name, const TNetAddress& from) {
    d.Accept(link, proto::EncodeJoinRequest(kRoom), from);
    d.Feed(link, proto::EncodeCreatePlayer({6000, name}));
    // The members before it take the new view; then the newcomer is welcomed.
    for (TLinkId earlier : d.Members) {
        auto added = d.Sent(earlier, p2::MEMBER_ADDED);
        if (added.empty()) continue;
        auto m = p2::DecodeMemberAdded(added.back().data(), added.back().size());
        d.Feed(earlier, p2::EncodeHostAck(m->View));
    }
    d.Members.push_back(link);
    auto w = d.Sent(link, p2::WELCOME);
    EXPECT_EQ(w.size(), 1u);
    return *p2::DecodeWelcome(w.back().data(), w.back().size());
}
p2::TWelcome Admit(TDriver& d, TLinkId link, const std::string& name, uint32_t ipv4) {
    return Admit(d, link, name, TNetAddress::FromIpv4(ipv4));
}

// A hosting core with two members admitted on links a and x, and a newcomer
// on link b that waits for its welcome: neither member took its view yet.
void HostWithANewcomerWaiting(TDriver& d, TLinkId a, TLinkId x, TLinkId b) {
    Host(d);
    Admit(d, a, "a", 0x7F000002);
    Admit(d, x, "x", 0x7F000005);
    d.Accept(b, proto::EncodeJoinRequest(kRoom), 0x7F000003);
    d.Feed(b, proto::EncodeCreatePlayer({6000, "b"}));
    ASSERT_TRUE(d.Sent(b, p2::WELCOME).empty());
}

// A joining core that has reached its host (link id in *hostLink) and sent CREATE_PLAYER.
void Joiner(TDriver& d, TLinkId* hostLink, uint32_t maxPlayers = 10) {
    d.Core.Join(d.Now, TNetAddress::FromIpv4(0x7F000001), 47624, kApp, kRoom);
    d.Take();
    *hostLink = d.Log.back().Link;
    d.Core.OnLinkUp(d.Now, *hostLink);
    proto::TRoomInfo info;
    info.Instance = kRoom;
    info.MaxPlayers = maxPlayers;
    d.Feed(*hostLink, proto::EncodeJoinAccept(info));
    ASSERT_TRUE(d.Finished(TCoreAction::Open));
    d.Core.CreatePlayer(d.Now, "me", 7000);
    d.Take();
}

p2::TViewEntry Entry(uint32_t id, uint32_t join) {
    return p2::TViewEntry{
        id, join, TNetAddress::FromIpv4(0x7F000000u + join), uint16_t(9000 + join), "p", {}};
}

// We (2) enter a room of three right after its host (1), before 3; the
// welcome gives us the secret of our pair with 3.
p2::TWelcome EnterAfterTheHost(TDriver& d, TLinkId host) {
    p2::TWelcome w;
    w.View.View = 3;
    w.View.HostId = 1;
    w.View.Members = {Entry(1, 0), Entry(2, 1), Entry(3, 2)};
    w.YourId = 2;
    w.Secrets.resize(3);
    w.Secrets[2].fill(0x23);
    d.Feed(host, p2::EncodeWelcome(w));
    return w;
}

// The last link we dialed other than `host` (to `port`, if given).
TLinkId DialBesides(const TDriver& d, TLinkId host, uint16_t port = 0) {
    TLinkId dial = 0;
    for (auto& a : d.Log)
        if (a.Kind == TCoreAction::Dial && a.Link != host && (!port || a.Port == port))
            dial = a.Link;
    return dial;
}

// EnterAfterTheHost with our introduction to 3 on its way.
struct TSecondOfThree {
    TDriver D;
    TLinkId HostLink = 0;
    p2::TWelcome W;
    TLinkId Dial = 0;
    void Enter() {
        Joiner(D, &HostLink);
        W = EnterAfterTheHost(D, HostLink);
        Dial = DialBesides(D, HostLink);
        ASSERT_NE(Dial, 0u);
    }
};

// A welcome written field by field, for what the encoder never writes.
p2::TFrame RawWelcome(uint32_t you, uint32_t host, const std::vector<uint32_t>& ids) {
    TDPWireWriter w(p2::WELCOME);
    w.U32(you);
    w.U32(2).U32(host).U32(static_cast<uint32_t>(ids.size()));
    uint32_t join = 0;
    const TNetAddress at = TNetAddress::FromIpv4(0x7F000005);
    for (uint32_t id : ids)
        w.U32(id).U32(join++).Raw(at.Bytes.data(), 16).U16(1).Raw(p2::TKeyId{}.data(), 32).U32(0).U32(0).Text("x", 10);
    for (size_t i = 0; i < ids.size() * 16; ++i)
        w.U8(0); // the pairs' secrets
    return w.Finish();
}

} // namespace

TEST(RoomCore, WelcomeNamingIdZeroOwnIdOrTooManyIsNotEntered) {
    struct TCase {
        const char* What;
        p2::TFrame Welcome;
        uint32_t Limit;
    };
    std::vector<uint32_t> thousand;
    for (uint32_t i = 1; i <= 1000; ++i)
        thousand.push_back(i);
    std::vector<TCase> cases = {
        {"id 0", RawWelcome(2, 1, {1, 0, 2}), 10},
        {"the joiner's id twice", RawWelcome(2, 1, {1, 2, 2}), 10},
        {"the joiner as host", RawWelcome(1, 1, {1, 2}), 10},
        {"a thousand members", RawWelcome(2, 1, thousand), 10},
        {"more than the room holds", RawWelcome(2, 1, {1, 2, 3, 4, 5}), 4},
    };
    for (auto& c : cases) {
        TDriver d;
        TLinkId host = 0;
        Joiner(d, &host, c.Limit);
        d.Feed(host, c.Welcome);
        const TCoreAction* done = d.Finished(TCoreAction::CreatePlayer);
        ASSERT_TRUE(done) << c.What;
        EXPECT_TRUE(Failed(done->Result)) << c.What;
        EXPECT_TRUE(d.Closed(host)) << c.What;
        EXPECT_NE(d.Core.State(), TRoomCore::InRoom) << c.What;
        EXPECT_TRUE(d.Delivered().empty()) << c.What << ": nothing reaches the receive queue";
    }
    // The same shape within the bounds enters.
    TDriver d;
    TLinkId host = 0;
    Joiner(d, &host, 4);
    d.Feed(host, RawWelcome(2, 1, {1, 2, 3, 4}));
    ASSERT_EQ(d.Core.State(), TRoomCore::InRoom);
    EXPECT_EQ(d.Core.OwnId(), 2u);
    EXPECT_EQ(d.Core.Players().size(), 3u);
}

// A member (id 2) of a room whose host (1) admitted 3 before it; the host
// gave 2 the secret of the pair (2, 3).
struct TMemberFixture {
    TDriver D;
    TLinkId HostLink = 0;
    p2::TSecret Secret{};
    void Enter() {
        Joiner(D, &HostLink);
        Secret.fill(0x3C);
        p2::TWelcome w;
        w.View.View = 3;
        w.View.HostId = 1;
        w.View.Members = {Entry(1, 0), Entry(3, 1), Entry(2, 2)};
        w.YourId = 2;
        w.Secrets = {{}, Secret, {}};
        D.Feed(HostLink, p2::EncodeWelcome(w));
        ASSERT_EQ(D.Core.State(), TRoomCore::InRoom);
    }
};

TEST(RoomCore, IntroductionNeedsTheHostsWordAndTheSecret) {
    TMemberFixture m;
    m.Enter();
    TDriver& d = m.D;
    // Wrong secret for a member the host announced: refused at once.
    p2::TSecret wrong = m.Secret;
    wrong[0] ^= 1;
    d.Accept(100, p2::EncodePeerHello({kRoom, 2, 3, wrong}));
    EXPECT_TRUE(d.Closed(100));
    EXPECT_TRUE(d.Sent(100, p2::PEER_ACCEPT).empty());
    // The host's id, the receiver's own id, another room: refused at once.
    d.Accept(101, p2::EncodePeerHello({kRoom, 2, 1, m.Secret}));
    EXPECT_TRUE(d.Closed(101));
    d.Accept(102, p2::EncodePeerHello({kRoom, 3, 2, m.Secret}));
    EXPECT_TRUE(d.Closed(102));
    d.Accept(103, p2::EncodePeerHello({kApp, 2, 3, m.Secret}));
    EXPECT_TRUE(d.Closed(103));
    // An id the host never announced waits a little for its MEMBER_ADDED, then goes;
    // what it sends meanwhile is not taken.
    d.Accept(104, p2::EncodePeerHello({kRoom, 2, 77, m.Secret}));
    EXPECT_FALSE(d.Closed(104));
    d.Feed(104, p2::EncodeData(1, "forged", 6));
    EXPECT_TRUE(d.Closed(104));
    d.Accept(105, p2::EncodePeerHello({kRoom, 2, 78, m.Secret}));
    d.Pass(room::kIntroHoldMs + 500);
    EXPECT_TRUE(d.Closed(105));
    EXPECT_TRUE(d.Delivered().empty());
    EXPECT_EQ(d.Core.Players().size(), 2u);
    // The right secret from an announced member is taken.
    d.Accept(106, p2::EncodePeerHello({kRoom, 2, 3, m.Secret}));
    EXPECT_FALSE(d.Closed(106));
    EXPECT_EQ(d.Sent(106, p2::PEER_ACCEPT).size(), 1u);
    EXPECT_EQ(d.Core.DirectPeers().count(3), 1u);
}

// Keys as links show them: one per member, made from its id.
p2::TKeyId KeyOf(uint32_t id) {
    p2::TKeyId key;
    key.fill(uint8_t(id));
    return key;
}

TEST(RoomCore, LinksMustShowTheKeysTheHostAnnounced) {
    // The host announces each newcomer with the key its join link showed.
    {
        TDriver d;
        d.Core.SetOwnKey(KeyOf(1));
        Host(d);
        d.Core.OnLinkAccepted(d.Now, 10, TNetAddress::FromIpv4(0x7F000002), proto::JOIN_REQUEST,
                              proto::EncodeJoinRequest(kRoom)->data() + 5,
                              proto::EncodeJoinRequest(kRoom)->size() - 5, KeyOf(0xA));
        d.Take();
        d.Feed(10, proto::EncodeCreatePlayer({6000, "a"}));
        auto w = d.Sent(10, p2::WELCOME);
        ASSERT_EQ(w.size(), 1u);
        auto welcome = p2::DecodeWelcome(w[0].data(), w[0].size());
        ASSERT_TRUE(welcome);
        for (const auto& e : welcome->View.Members)
            EXPECT_EQ(e.Key, KeyOf(e.Id == welcome->YourId ? 0xA : 1));
        d.Members.push_back(10);
        d.Core.OnLinkAccepted(d.Now, 11, TNetAddress::FromIpv4(0x7F000003), proto::JOIN_REQUEST,
                              proto::EncodeJoinRequest(kRoom)->data() + 5,
                              proto::EncodeJoinRequest(kRoom)->size() - 5, KeyOf(0xB));
        d.Take();
        d.Feed(11, proto::EncodeCreatePlayer({6000, "b"}));
        auto added = d.Sent(10, p2::MEMBER_ADDED);
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(p2::DecodeMemberAdded(added[0].data(), added[0].size())->Member.Key, KeyOf(0xB));
    }
    // A member takes an introduction only with the announced key, the right
    // secret notwithstanding; an introduction held for its announcement too.
    {
        TDriver d;
        d.Core.SetOwnKey(KeyOf(2));
        TLinkId host = 0;
        Joiner(d, &host);
        p2::TSecret secret;
        secret.fill(0x3C);
        p2::TWelcome w;
        w.View.View = 3;
        w.View.HostId = 1;
        w.View.Members = {Entry(1, 0), Entry(3, 1), Entry(2, 2)};
        w.View.Members[1].Key = KeyOf(3);
        w.View.Members[2].Key = KeyOf(2);
        w.YourId = 2;
        w.Secrets = {{}, secret, {}};
        d.Feed(host, p2::EncodeWelcome(w));
        ASSERT_EQ(d.Core.State(), TRoomCore::InRoom);
        auto hello = p2::EncodePeerHello({kRoom, 2, 3, secret});
        d.Core.OnLinkAccepted(d.Now, 100, TNetAddress::FromIpv4(0x7F000009), p2::PEER_HELLO,
                              hello->data() + 5, hello->size() - 5, KeyOf(9));
        d.Take();
        EXPECT_TRUE(d.Closed(100)) << "another key as member 3";
        auto early = p2::EncodePeerHello({kRoom, 2, 4, secret});
        d.Core.OnLinkAccepted(d.Now, 101, TNetAddress::FromIpv4(0x7F000009), p2::PEER_HELLO,
                              early->data() + 5, early->size() - 5, KeyOf(9));
        d.Take();
        EXPECT_FALSE(d.Closed(101)) << "held for its announcement";
        p2::TViewEntry four = Entry(4, 3);
        four.Key = KeyOf(4);
        d.Feed(host, p2::EncodeMemberAdded({4, four, secret}));
        EXPECT_TRUE(d.Closed(101)) << "announced with another key";
        d.Core.OnLinkAccepted(d.Now, 102, TNetAddress::FromIpv4(0x7F000004), p2::PEER_HELLO,
                              hello->data() + 5, hello->size() - 5, KeyOf(3));
        d.Take();
        EXPECT_EQ(d.Sent(102, p2::PEER_ACCEPT).size(), 1u);
        EXPECT_EQ(d.Core.HostKey(), p2::TKeyId{}); // the key the host link showed
    }
    // A member we dial must answer with its announced key.
    {
        TSecondOfThree s;
        s.Enter();
        s.D.Core.OnLinkUp(s.D.Now, s.Dial, KeyOf(7));
        s.D.Take();
        EXPECT_TRUE(s.D.Closed(s.Dial));
        EXPECT_EQ(s.D.Core.DirectPeers().count(3), 0u);
    }
    // A welcome that gives us another key than ours (or the host another
    // than its link showed) means someone relays between us: not entered.
    for (bool ownWrong : {true, false}) {
        TDriver d;
        d.Core.SetOwnKey(KeyOf(2));
        TLinkId host = 0;
        Joiner(d, &host);
        p2::TWelcome w;
        w.View.View = 2;
        w.View.HostId = 1;
        w.View.Members = {Entry(1, 0), Entry(2, 1)};
        w.View.Members[0].Key = ownWrong ? p2::TKeyId{} : KeyOf(1);
        w.View.Members[1].Key = ownWrong ? KeyOf(8) : KeyOf(2);
        w.YourId = 2;
        w.Secrets.resize(2);
        d.Feed(host, p2::EncodeWelcome(w));
        EXPECT_NE(d.Core.State(), TRoomCore::InRoom) << ownWrong;
        EXPECT_TRUE(d.Closed(host)) << ownWrong;
    }
}

TEST(RoomCore, IntroductionAheadOfItsAnnouncementIsTakenWhenTheHostSpeaks) {
    TMemberFixture m;
    m.Enter();
    TDriver& d = m.D;
    p2::TSecret later;
    later.fill(0x77);
    d.Accept(200, p2::EncodePeerHello({kRoom, 2, 9, later}));
    EXPECT_FALSE(d.Closed(200));
    d.Feed(m.HostLink, p2::EncodeMemberAdded({4, Entry(9, 3), later}));
    EXPECT_EQ(d.Sent(200, p2::PEER_ACCEPT).size(), 1u);
    EXPECT_EQ(d.Core.DirectPeers().count(9), 1u);
    EXPECT_TRUE(d.Notice(DPSYS_CREATEPLAYERORGROUP));
}

TEST(RoomCore, RelayFromAnyoneButTheHostIsRefused) {
    TMemberFixture m;
    m.Enter();
    TDriver& d = m.D;
    d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, m.Secret}));
    auto inner = p2::EncodeData(1, "x", 1);
    // Member 3 claims to pass on a block of the host's.
    d.Feed(300, p2::EncodeRelay(1, p2::DATA, inner->data() + 5, inner->size() - 5));
    EXPECT_TRUE(d.Closed(300));
    EXPECT_TRUE(d.Delivered().empty());
    // The host passing on member 3's block: delivered as 3's.
    d.Feed(m.HostLink, p2::EncodeRelay(3, p2::DATA, inner->data() + 5, inner->size() - 5));
    ASSERT_EQ(d.Delivered().size(), 1u);
    EXPECT_EQ(d.Delivered()[0].From, 3u);
    // ... but never as the receiver's own or the host's.
    d.Feed(m.HostLink, p2::EncodeRelay(2, p2::DATA, inner->data() + 5, inner->size() - 5));
    d.Feed(m.HostLink, p2::EncodeRelay(1, p2::DATA, inner->data() + 5, inner->size() - 5));
    EXPECT_EQ(d.Delivered().size(), 1u);
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
}

TEST(RoomCore, HostStampsTheSenderOfWhatItRelays) {
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002);
    auto b = Admit(d, 11, "b", 0x7F000003);
    auto inner = p2::EncodeData(1, "hi", 2);
    // a names b as the target; b must see a as the sender, whatever a would like.
    d.Feed(10, p2::EncodeRelay(b.YourId, p2::DATA, inner->data() + 5, inner->size() - 5));
    auto out = d.Sent(11, p2::RELAY);
    ASSERT_EQ(out.size(), 1u);
    auto relay = p2::DecodeRelay(out[0].data(), out[0].size());
    ASSERT_TRUE(relay);
    EXPECT_EQ(relay->Peer, a.YourId);
    // A relay to oneself goes nowhere.
    d.Feed(10, p2::EncodeRelay(a.YourId, p2::DATA, inner->data() + 5, inner->size() - 5));
    EXPECT_TRUE(d.Sent(10, p2::RELAY).empty());
    // The newcomer was announced to the earlier member with its secret, before its welcome.
    auto added = d.Sent(10, p2::MEMBER_ADDED);
    ASSERT_EQ(added.size(), 1u);
    auto m = p2::DecodeMemberAdded(added[0].data(), added[0].size());
    EXPECT_EQ(m->Member.Id, b.YourId);
    // b was given the same secret for its pair with a, and none for the host.
    ASSERT_EQ(b.View.Members.size(), 3u);
    EXPECT_EQ(b.View.Members[1].Id, a.YourId);
    EXPECT_EQ(b.Secrets[1], m->Secret);
    EXPECT_EQ(b.Secrets[0], p2::TSecret{});
}

TEST(RoomCore, DataBeforeAdmissionAndEmptyDataEndOnlyThatLink) {
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002);
    // DATA on a join that has not entered: the link goes, no block, no member.
    d.Accept(20, proto::EncodeJoinRequest(kRoom), 0x7F000009);
    d.Feed(20, p2::EncodeData(1, "early", 5));
    EXPECT_TRUE(d.Closed(20));
    EXPECT_TRUE(d.Delivered().size() == 1 && d.Notice(DPSYS_CREATEPLAYERORGROUP));
    EXPECT_EQ(d.Core.Players().size(), 1u);
    // An empty block is a block: delivered, and the next one too.
    d.Feed(10, p2::EncodeData(1, nullptr, 0));
    d.Feed(10, p2::EncodeData(2, "after", 5));
    auto got = d.Delivered();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[1].Bytes.empty());
    EXPECT_EQ(std::string(got[2].Bytes.begin(), got[2].Bytes.end()), "after");
    // An empty DATA frame (no sequence number) breaks the protocol: that member
    // goes, told why, and the room carries on.
    auto b = Admit(d, 11, "b", 0x7F000003);
    d.Feed(11, p2::EncodeEmpty(p2::DATA));
    EXPECT_EQ(d.Sent(11, p2::REMOVED).size(), 1u);
    EXPECT_EQ(d.Core.Players().size(), 1u);
    EXPECT_TRUE(d.Core.IsHost());
    d.Feed(10, p2::EncodeData(3, "still", 5));
    EXPECT_EQ(d.Delivered().back().From, a.YourId);
    (void)b;
}

TEST(RoomCore, JoinDeadlineClosesOnlyItsOwnJoin) {
    TDriver d;
    Host(d);
    d.Accept(30, proto::EncodeJoinRequest(kRoom));
    TTimerId first = d.LastTimer();
    d.Accept(31, proto::EncodeJoinRequest(kRoom));
    TTimerId second = d.LastTimer();
    ASSERT_NE(first, second);
    // A timer the core does not know (stale, or never its own) changes nothing.
    d.Core.OnTimer(d.Now, 999999);
    d.Take();
    EXPECT_FALSE(d.Closed(30));
    EXPECT_FALSE(d.Closed(31));
    d.Core.OnTimer(d.Now, first);
    d.Take();
    EXPECT_TRUE(d.Closed(30));
    EXPECT_FALSE(d.Closed(31));
    // The second join finishes; its own timer firing late does nothing to it.
    d.Feed(31, proto::EncodeCreatePlayer({6000, "late"}));
    d.Core.OnTimer(d.Now, second);
    d.Take();
    EXPECT_FALSE(d.Closed(31));
    EXPECT_EQ(d.Core.Players().size(), 1u);
}

TEST(RoomCore, PendingJoinsHoldNoPlaceAndAreBounded) {
    TDriver d;
    Host(d, 3);
    for (TLinkId link = 40; link < 40 + room::kMaxPendingJoinsPerAddress; ++link) {
        d.Accept(link, proto::EncodeJoinRequest(kRoom), 0x0A000001);
        EXPECT_EQ(d.Sent(link, p2::JOIN_ACCEPT).size(), 1u);
    }
    TLinkId extra = 40 + room::kMaxPendingJoinsPerAddress;
    d.Accept(extra, proto::EncodeJoinRequest(kRoom), 0x0A000001);
    EXPECT_EQ(d.Sent(extra, p2::JOIN_REFUSE).size(), 1u);
    // Another address still gets in, and takes a place the silent ones do not hold.
    Admit(d, 60, "a", 0x0A000002);
    Admit(d, 61, "b", 0x0A000003);
    EXPECT_EQ(d.Core.Players().size(), 2u);
    d.Accept(62, proto::EncodeJoinRequest(kRoom), 0x0A000004);
    auto refuse = d.Sent(62, p2::JOIN_REFUSE);
    ASSERT_EQ(refuse.size(), 1u);
    EXPECT_EQ(*proto::DecodeJoinRefuse(refuse[0].data(), refuse[0].size()), DPERR_SESSIONFULL);
    // A silent join that then asks for a place in a full room is refused, not admitted.
    d.Feed(40, proto::EncodeCreatePlayer({6000, "over"}));
    EXPECT_EQ(d.Core.Players().size(), 2u);
    EXPECT_TRUE(d.Closed(40));
}

// One machine or home network holds a whole IPv6 /64 and can take any
// address in it: the joins it may leave pending are bounded as one source.
TEST(RoomCore, PendingJoinsFromOneIpv6NetworkCountAsOneSource) {
    auto v6 = [](uint8_t net, uint8_t host) {
        TNetAddress a;
        a.Bytes[0] = 0xFD;
        a.Bytes[7] = net;
        a.Bytes[15] = host;
        return a;
    };
    TDriver d;
    Host(d, 10);
    Admit(d, 30, "four", 0x0A000002);
    TLinkId link = 40;
    for (size_t i = 0; i < room::kMaxPendingJoinsPerAddress; ++i, ++link) {
        d.Accept(link, proto::EncodeJoinRequest(kRoom), v6(1, uint8_t(1 + i)));
        EXPECT_EQ(d.Sent(link, p2::JOIN_ACCEPT).size(), 1u);
    }
    d.Accept(link, proto::EncodeJoinRequest(kRoom), v6(1, 200));
    EXPECT_EQ(d.Sent(link, p2::JOIN_REFUSE).size(), 1u);
    // The next /64, and an IPv4 address whose bytes match, are other sources.
    d.Accept(++link, proto::EncodeJoinRequest(kRoom), v6(2, 1));
    EXPECT_EQ(d.Sent(link, p2::JOIN_ACCEPT).size(), 1u);
    d.Accept(++link, proto::EncodeJoinRequest(kRoom), 0xFD000000u);
    EXPECT_EQ(d.Sent(link, p2::JOIN_ACCEPT).size(), 1u);
    // A newcomer is announced at the address it came from, IPv6 whole, and
    // learns the others' in either family.
    auto welcome = Admit(d, 70, "six", v6(3, 5));
    auto added = d.Sent(30, p2::MEMBER_ADDED);
    ASSERT_FALSE(added.empty());
    EXPECT_EQ(p2::DecodeMemberAdded(added.back().data(), added.back().size())->Member.Address,
              v6(3, 5));
    ASSERT_EQ(welcome.View.Members.size(), 3u);
    EXPECT_EQ(welcome.View.Members[1].Address, TNetAddress::FromIpv4(0x0A000002));
}

TEST(RoomCore, RemovedMemberIsToldBeforeItsLinkCloses) {
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002);
    auto b = Admit(d, 11, "b", 0x7F000003);
    // b goes silent (frozen); a keeps talking.
    for (int i = 0; i < 44; ++i) {
        d.Pass(250);
        d.Feed(10, p2::EncodeEmpty(p2::PING));
    }
    EXPECT_EQ(d.Sent(11, p2::REMOVED).size(), 1u);
    auto removed = d.Sent(10, p2::MEMBER_REMOVED);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(p2::DecodeMemberRemoved(removed[0].data(), removed[0].size())->Id, b.YourId);
    EXPECT_TRUE(d.Core.IsHost());
    EXPECT_TRUE(d.Core.Listed());
    (void)a;
}

TEST(RoomCore, FrozenProcessOrRemovedNoticeLosesTheSession) {
    {
        TDriver d;
        Host(d);
        Admit(d, 10, "a", 0x7F000002);
        ASSERT_TRUE(d.Core.Listed());
        d.Now += room::kFrozenMs + 1000; // no tick in between: the process was stopped
        d.Feed(10, p2::EncodeEmpty(p2::PING));
        EXPECT_TRUE(d.Notice(DPSYS_SESSIONLOST));
        EXPECT_FALSE(d.Core.Listed());
        EXPECT_EQ(d.Core.State(), TRoomCore::Lost);
        // It never takes a join afterwards.
        d.Accept(20, proto::EncodeJoinRequest(kRoom));
        EXPECT_TRUE(d.Sent(20, p2::JOIN_ACCEPT).empty());
    }
    {
        TMemberFixture m;
        m.Enter();
        m.D.Feed(m.HostLink, p2::EncodeEmpty(p2::REMOVED));
        EXPECT_TRUE(m.D.Notice(DPSYS_SESSIONLOST));
        EXPECT_EQ(m.D.Core.State(), TRoomCore::Lost);
    }
    {
        TMemberFixture m;
        m.Enter();
        m.D.Feed(m.HostLink, p2::EncodeMemberRemoved({4, 2}));
        EXPECT_TRUE(m.D.Notice(DPSYS_SESSIONLOST));
    }
}

TEST(RoomCore, SendsThatCannotGoAreRefused) {
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002);
    std::vector<uint8_t> big(p2::kMaxBlock + 1);
    EXPECT_EQ(d.Core.Send(d.Now, 0, big.data(), big.size()), TRoomCore::SendTooLarge);
    EXPECT_EQ(d.Core.Send(d.Now, 12345, big.data(), 1), TRoomCore::SendNoPlayer);
    EXPECT_EQ(d.Core.Send(d.Now, a.YourId, big.data(), 10), TRoomCore::SendOk);
    // Kept until acknowledged.
    EXPECT_EQ(d.Core.Unacked(a.YourId), 1u);
    d.Feed(10, p2::EncodeAck(1));
    EXPECT_EQ(d.Core.Unacked(a.YourId), 0u);
    // An acknowledgement of what was never sent breaks the protocol.
    d.Feed(10, p2::EncodeAck(5));
    EXPECT_TRUE(d.Closed(10));
}

// The member of a room of two, behind its host (id 1).
void SecondOfTwo(TDriver& d, TLinkId* host) {
    Joiner(d, host);
    p2::TWelcome w;
    w.View.View = 2;
    w.View.HostId = 1;
    w.View.Members = {Entry(1, 0), Entry(2, 1)};
    w.YourId = 2;
    d.Feed(*host, p2::EncodeWelcome(w));
}

TEST(RoomCore, LastMemberOfTwoNeverBecomesHostAfterASilence) {
    // Host and one member: the member cannot tell a frozen host from its own
    // network gone, so after a silence it loses the session rather than
    // hosting a copy of the room.
    TDriver d;
    TLinkId host = 0;
    SecondOfTwo(d, &host);
    d.Pass(room::kSilenceMs + room::kSuccessionMs + 1000);
    EXPECT_TRUE(d.Notice(DPSYS_SESSIONLOST));
    EXPECT_FALSE(d.Notice(DPSYS_HOST));
    EXPECT_FALSE(d.Core.Listed());
}

TEST(RoomCore, HostThatLeftIsFollowedAtOnce) {
    // The host's stream ended: it is gone for sure, and the successor takes over.
    TDriver d;
    TLinkId host = 0;
    SecondOfTwo(d, &host);
    d.Core.OnLinkEnded(d.Now, host, TCoreLinkEnd::Closed);
    d.Take();
    EXPECT_TRUE(d.Notice(DPSYS_DESTROYPLAYERORGROUP));
    EXPECT_TRUE(d.Notice(DPSYS_HOST));
    EXPECT_TRUE(d.Core.IsHost());
    EXPECT_TRUE(d.Core.Listed());
}

TEST(RoomCore, NewcomerIsWelcomedOnceAMajorityTookTheNewView) {
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002); // a host alone welcomes at once
    Admit(d, 13, "x", 0x7F000005);          // a room of two welcomes at once too
    d.Accept(11, proto::EncodeJoinRequest(kRoom), 0x7F000003);
    d.Feed(11, proto::EncodeCreatePlayer({6000, "b"}));
    auto added = d.Sent(10, p2::MEMBER_ADDED);
    ASSERT_EQ(added.size(), 2u);
    auto m = p2::DecodeMemberAdded(added[1].data(), added[1].size());
    // Until a or x has taken the new view, b hears nothing, and what a relays to it waits.
    EXPECT_TRUE(d.Sent(11, p2::WELCOME).empty());
    auto inner = p2::EncodeData(1, "to b", 4);
    d.Feed(10, p2::EncodeRelay(m->Member.Id, p2::DATA, inner->data() + 5, inner->size() - 5));
    EXPECT_TRUE(d.Sent(11, p2::RELAY).empty());
    d.Feed(10, p2::EncodeHostAck(m->View));
    size_t welcome = 0, relay = 0;
    for (size_t i = 0; i < d.Log.size(); ++i) {
        auto& x = d.Log[i];
        if (x.Kind != TCoreAction::Send || x.Link != 11 || !x.Frame) continue;
        if ((*x.Frame)[4] == p2::WELCOME) welcome = i;
        if ((*x.Frame)[4] == p2::RELAY) relay = i;
    }
    ASSERT_TRUE(welcome && relay);
    EXPECT_LT(welcome, relay);
    auto r = d.Sent(11, p2::RELAY);
    EXPECT_EQ(p2::DecodeRelay(r[0].data(), r[0].size())->Peer, a.YourId);

    // c: nobody takes the view. While they still talk they may take it late,
    // so c waits past the usual 5 s, up to their silence bound; then it is
    // told why it was turned away and removed again, never welcomed.
    d.Accept(12, proto::EncodeJoinRequest(kRoom), 0x7F000004);
    d.Feed(12, proto::EncodeCreatePlayer({6000, "c"}));
    for (int i = 0; i < 48; ++i) {
        d.Pass(250);
        for (TLinkId link : {10, 11, 12, 13})
            d.Feed(link, p2::EncodeEmpty(p2::PING));
        if (i == 28) {
            EXPECT_FALSE(d.Closed(12)) << "gone before its members' silence bound";
        }
    }
    EXPECT_TRUE(d.Sent(12, p2::WELCOME).empty());
    EXPECT_TRUE(d.Closed(12));
    auto refused = d.Sent(12, proto::JOIN_REFUSE);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(proto::DecodeJoinRefuse(refused[0].data(), refused[0].size()), DPERR_TIMEOUT);
    EXPECT_EQ(d.Sent(10, p2::MEMBER_REMOVED).size(), 1u);
    EXPECT_EQ(d.Core.Players().size(), 3u);
}

TEST(RoomCore, ARoomOfTwoLetsANewcomerInWhileItsMemberIsQuiet) {
    // The one other member could never go on alone after a silence, so no
    // part of the room can compete: its silence does not turn a joiner away.
    TDriver d;
    Host(d);
    Admit(d, 10, "a", 0x7F000002);
    d.Accept(11, proto::EncodeJoinRequest(kRoom), 0x7F000003);
    d.Feed(11, proto::EncodeCreatePlayer({6000, "b"}));
    EXPECT_EQ(d.Sent(11, p2::WELCOME).size(), 1u);
    EXPECT_EQ(d.Core.Players().size(), 2u);
}

TEST(RoomCore, LeaversLastBlocksOnADirectLinkComeBeforeItsDeparture) {
    // The host can tell us of a departure before the leaver's last blocks,
    // on their own link, have been read. A member that left has them read to
    // the end of its link; one the host removed while it still talks has not.
    auto blockFrom3 = [](TDriver& d, uint64_t seq) {
        std::string text = "block " + std::to_string(seq);
        d.Feed(300, p2::EncodeData(seq, text.data(), static_cast<uint32_t>(text.size())));
    };
    auto order = [](const TDriver& d) {
        std::vector<std::string> seen;
        for (auto& a : d.Delivered()) {
            uint32_t type = 0;
            if (a.From == 0 && a.Bytes.size() >= 4) std::memcpy(&type, a.Bytes.data(), 4);
            if (a.From == 3) seen.emplace_back(a.Bytes.begin(), a.Bytes.end());
            if (a.From == 0 && type == DPSYS_DESTROYPLAYERORGROUP) seen.push_back("gone");
        }
        return seen;
    };
    for (bool left : {true, false}) {
        SCOPED_TRACE(left ? "left" : "removed");
        TMemberFixture m;
        m.Enter();
        TDriver& d = m.D;
        d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, m.Secret}));
        ASSERT_EQ(d.Core.DirectPeers().count(3), 1u);
        blockFrom3(d, 1);
        d.Feed(m.HostLink, p2::EncodeMemberRemoved({4, 3, left}));
        EXPECT_EQ(d.Core.Players().size(), 1u) << "out of the view at once";
        EXPECT_EQ(d.Core.DirectPeers().count(3), 0u);
        blockFrom3(d, 2);
        blockFrom3(d, 3);
        if (left) {
            EXPECT_FALSE(d.Closed(300));
            EXPECT_TRUE(d.Sent(300, p2::PING).empty() && d.Sent(300, p2::ACK).empty())
                << "nothing is written to a leaver's link";
            d.Core.OnLinkEnded(d.Now, 300, TCoreLinkEnd::Closed);
            d.Take();
            EXPECT_EQ(order(d),
                      (std::vector<std::string>{"block 1", "block 2", "block 3", "gone"}));
        } else {
            EXPECT_EQ(d.Sent(300, p2::REMOVED).size(), 1u) << "it is told it is out";
            EXPECT_EQ(order(d), (std::vector<std::string>{"block 1", "gone"}));
        }
    }
    // A leaver's link that stays open but says nothing more is not waited on for long.
    TMemberFixture m;
    m.Enter();
    TDriver& d = m.D;
    d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, m.Secret}));
    d.Feed(m.HostLink, p2::EncodeMemberRemoved({4, 3, true}));
    EXPECT_FALSE(d.Notice(DPSYS_DESTROYPLAYERORGROUP));
    d.Pass(room::kDrainSilenceMs + 500);
    EXPECT_TRUE(d.Closed(300));
    EXPECT_TRUE(d.Notice(DPSYS_DESTROYPLAYERORGROUP));
}

TEST(RoomCore, ASuccessorThatCannotReachEveryoneDoesNotKeepTheRoom) {
    // We (2) came first after the host; 3 is reached only through the host
    // (both behind NAT). When the host leaves nobody can serve both of us:
    // we lose the room too, rather than keep it without 3. With a direct
    // link to 3, even one the view does not show yet, we take the room over.
    for (bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "linked to all" : "not linked to 3");
        TDriver d;
        TLinkId host = 0;
        Joiner(d, &host);
        p2::TWelcome w = EnterAfterTheHost(d, host);
        ASSERT_EQ(d.Core.State(), TRoomCore::InRoom);
        if (linked) {
            d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, w.Secrets[2]}));
            d.Feed(300, p2::EncodeEmpty(p2::PING));
            ASSERT_EQ(d.Core.DirectPeers().count(3), 1u);
        } else {
            // 3 is behind NAT: our introduction to it does not get through.
            for (auto& a : std::vector<TCoreAction>(d.Log))
                if (a.Kind == TCoreAction::Dial && a.Link != host)
                    d.Core.OnLinkEnded(d.Now, a.Link, TCoreLinkEnd::Failed);
            d.Take();
        }
        d.Feed(host, p2::EncodeEmpty(p2::BYE)); // the host leaves
        d.Core.OnLinkEnded(d.Now, host, TCoreLinkEnd::Closed);
        d.Take();
        EXPECT_EQ(d.Notice(DPSYS_SESSIONLOST), !linked);
        EXPECT_EQ(d.Core.IsHost(), linked);
    }
}

// ---- a member the host admitted is trusted with nothing that changes the room

namespace {

// We (2, join number 3) in a room hosted by 1, with 3 (join 1), 4 (join 2)
// and 5 (join 4); we hold direct links to 3 and 4 (ids 30 and 40) with the
// secrets the host gave us for those pairs alone.
struct TRoomOfFive {
    TDriver D;
    TLinkId HostLink = 0;
    p2::TSecret With3{}, With4{};
    void Enter() {
        Joiner(D, &HostLink);
        With3.fill(0x33);
        With4.fill(0x44);
        p2::TWelcome w;
        w.View.View = 6;
        w.View.HostId = 1;
        w.View.Members = {Entry(1, 0), Entry(3, 1), Entry(4, 2), Entry(2, 3), Entry(5, 4)};
        w.YourId = 2;
        w.Secrets = {{}, With3, With4, {}, {}};
        w.Secrets[4].fill(0x55);
        D.Feed(HostLink, p2::EncodeWelcome(w));
        ASSERT_EQ(D.Core.State(), TRoomCore::InRoom);
        D.Accept(30, p2::EncodePeerHello({kRoom, 2, 3, With3}));
        D.Accept(40, p2::EncodePeerHello({kRoom, 2, 4, With4}));
        ASSERT_EQ(D.Core.DirectPeers().count(3) + D.Core.DirectPeers().count(4), 2u);
    }
    // The room without its host 1, led by `host` from `view` on.
    static p2::TViewMessage Without1(uint32_t view, uint32_t host) {
        p2::TViewMessage m;
        m.View = view;
        m.HostId = host;
        m.Members = {Entry(3, 1), Entry(4, 2), Entry(2, 3), Entry(5, 4)};
        return m;
    }
    std::vector<p2::TReport> Reports() const {
        std::vector<p2::TReport> out;
        for (auto& body : D.Sent(HostLink, p2::REPORT))
            out.push_back(*p2::DecodeReport(body.data(), body.size()));
        return out;
    }
};

} // namespace

TEST(RoomTrust, OnlyTheHostRemovesAMember) {
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    // A member writes REMOVED on its link with us: that link ends, we stay,
    // and what we send it goes through the host.
    d.Feed(40, p2::EncodeEmpty(p2::REMOVED));
    EXPECT_TRUE(d.Closed(40));
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
    EXPECT_FALSE(d.Notice(DPSYS_SESSIONLOST));
    ASSERT_EQ(d.Core.Send(d.Now, 4, reinterpret_cast<const uint8_t*>("hi"), 2), TRoomCore::SendOk);
    d.Take();
    EXPECT_EQ(d.Sent(r.HostLink, p2::RELAY).size(), 1u);
    // So does a member that answers our introduction with REMOVED.
    EXPECT_EQ(d.Core.Players().size(), 4u);
    // The host's word is final.
    d.Feed(r.HostLink, p2::EncodeEmpty(p2::REMOVED));
    EXPECT_TRUE(d.Notice(DPSYS_SESSIONLOST));
}

TEST(RoomTrust, AMemberLinkCarriesNothingThatChangesTheRoom) {
    TCoverSeen taken0("member.distrusted");
    // View frames, link reports and acknowledgements of views from a member
    // are broken rules: that member is cut off (reached through the host
    // from now on, never linked again) and reported to the host.
    struct TCase {
        const char* What;
        p2::TFrame Frame;
    };
    std::vector<TCase> cases = {
        {"MEMBER_ADDED", p2::EncodeMemberAdded({7, Entry(9, 9), {}})},
        {"MEMBER_REMOVED naming a member", p2::EncodeMemberRemoved({7, 3, false})},
        {"MEMBER_REMOVED naming us", p2::EncodeMemberRemoved({7, 2, false})},
        {"LINK_VIEW", p2::EncodeLinkView({7, {0, 0, 0, 0, 0}})},
        {"LINKS", p2::EncodeLinks({6, 0})},
        {"HOST_ACK", p2::EncodeHostAck(6)},
        {"RESEND", p2::EncodeResend(3)},
        {"REPORT", p2::EncodeReport({6, 3})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.What);
        TRoomOfFive r;
        r.Enter();
        TDriver& d = r.D;
        d.Feed(40, c.Frame);
        EXPECT_TRUE(d.Closed(40));
        EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
        EXPECT_EQ(d.Core.Players().size(), 4u);
        auto reports = r.Reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].Id, 4u);
        // Its introduction is not taken again.
        d.Accept(41, p2::EncodePeerHello({kRoom, 2, 4, r.With4}));
        EXPECT_TRUE(d.Closed(41));
        EXPECT_TRUE(d.Sent(41, p2::PEER_ACCEPT).empty());
    }
    EXPECT_TRUE(taken0.Taken()) << "never reached: member.distrusted";
}

TEST(RoomTrust, NobodyButTheRulesSuccessorLeadsTheRoom) {
    // 4 claims the room while our host lives: cut off and reported, and
    // when the host does leave we do not follow it.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    p2::TViewMessage claim;
    claim.View = 7;
    claim.HostId = 4;
    claim.Members = {Entry(4, 2), Entry(2, 3)};
    d.Feed(40, p2::EncodeNewHost(claim));
    EXPECT_TRUE(d.Closed(40));
    ASSERT_EQ(r.Reports().size(), 1u);
    d.Goodbye(r.HostLink);
    EXPECT_EQ(d.Core.HostId(), 0u) << "waits for the successor the rule names";
    // 3 is the rule's pick (the lowest, as nobody is linked to all): followed.
    p2::TViewMessage real = r.Without1(7, 3);
    d.Feed(30, p2::EncodeNewHost(real));
    EXPECT_EQ(d.Core.HostId(), 3u);
    EXPECT_EQ(d.Sent(30, p2::HOST_ACK).size(), 1u);
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
}

TEST(RoomTrust, AClaimedLinkCountsOnlyWhenBothEndsReportIt) {
    // 4 tells the host it is linked to everyone; nobody reports a link to
    // it. Taken on its word it would be the successor (3 is not linked to
    // 5); as it is, nobody is linked to all and the lowest, 3, succeeds.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    // View order 1, 3, 4, 2, 5: bit i is the i-th of them.
    d.Feed(r.HostLink, p2::EncodeLinkView({7, {0, 0b01000, 0b11010, 0b00010, 0}}));
    d.Goodbye(r.HostLink);
    p2::TViewMessage claim = r.Without1(8, 4);
    d.Feed(40, p2::EncodeNewHost(claim));
    EXPECT_EQ(d.Core.HostId(), 0u);
    claim.HostId = 3;
    d.Feed(30, p2::EncodeNewHost(claim));
    EXPECT_EQ(d.Core.HostId(), 3u);
}

TEST(RoomTrust, AMemberCutOffFromItsHostFollowsTheSuccessorItsLastViewNames) {
    // Our host goes quiet while 3 and 4 still talk to us. Views the host
    // makes meanwhile never reach us (nor, say, the others on our side), so
    // the one we took last decides: in it 4 is linked to everyone and 3 is
    // not linked to 5. 4 leads the room whoever it is; 3, the lowest, does not.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    // View order 1, 3, 4, 2, 5: bit i is the i-th of them.
    d.Feed(r.HostLink, p2::EncodeLinkView({7, {0, 0b01100, 0b11010, 0b00110, 0b00100}}));
    for (int64_t t = 0; t < room::kSilenceMs + 1000; t += 1000) {
        d.Feed(30, p2::EncodeEmpty(p2::PING));
        d.Feed(40, p2::EncodeEmpty(p2::PING));
        d.Pass(1000);
    }
    ASSERT_EQ(d.Core.State(), TRoomCore::InRoom);
    ASSERT_EQ(d.Core.HostId(), 0u) << "the host's silence was noticed";
    d.Feed(30, p2::EncodeNewHost(r.Without1(8, 3)));
    EXPECT_EQ(d.Core.HostId(), 0u);
    EXPECT_TRUE(d.Sent(30, p2::HOST_ACK).empty());
    d.Feed(40, p2::EncodeNewHost(r.Without1(8, 4)));
    EXPECT_EQ(d.Core.HostId(), 4u);
    EXPECT_EQ(d.Sent(40, p2::HOST_ACK).size(), 1u);
}

TEST(RoomTrust, AHostLinkEndedWithoutGoodbyeNeedsHalfTheRoom) {
    // We are the successor (lowest of 1, 2, 3). Without BYE the host may go
    // on after a reset: we host only once 3 follows us; with BYE at once.
    for (bool bye : {false, true}) {
        SCOPED_TRACE(bye ? "goodbye" : "no goodbye");
        TDriver d;
        TLinkId host = 0;
        Joiner(d, &host);
        p2::TWelcome w = EnterAfterTheHost(d, host);
        d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, w.Secrets[2]}));
        if (bye) d.Feed(host, p2::EncodeEmpty(p2::BYE));
        d.Core.OnLinkEnded(d.Now, host, TCoreLinkEnd::Closed);
        d.Take();
        EXPECT_EQ(d.Core.IsHost(), bye);
        if (bye) continue;
        auto claims = d.Sent(300, p2::NEW_HOST);
        ASSERT_EQ(claims.size(), 1u);
        d.Feed(300, p2::EncodeHostAck(p2::DecodeNewHost(claims[0].data(), claims[0].size())->View));
        EXPECT_TRUE(d.Core.IsHost());
    }
}

TEST(RoomTrust, AHostMostOfWhoseRoomEndsItsLinksWithoutGoodbyeStepsDown) {
    // Members that lost us after a silence close their links to us as they
    // follow a successor; when the network comes back we may read those ends
    // before our own silence bound. Most of the room gone without a goodbye
    // may be electing a host of its own: we step down. A newcomer waiting
    // for its welcome is part of neither side.
    struct TCase {
        const char* What;
        int Ended;
        bool Bye;
        bool StepsDown;
    };
    for (const TCase& c :
         {TCase{"two of three end", 2, false, true}, TCase{"one of three ends", 1, false, false},
          TCase{"two of three say goodbye", 2, true, false}}) {
        SCOPED_TRACE(c.What);
        TDriver d;
        HostWithANewcomerWaiting(d, 10, 11, 12);
        for (TLinkId link : {TLinkId{10}, TLinkId{11}}) {
            if (link - 10 >= TLinkId(c.Ended)) break;
            if (c.Bye) {
                d.Goodbye(link);
            } else {
                d.Core.OnLinkEnded(d.Now, link, TCoreLinkEnd::Closed);
                d.Take();
            }
        }
        EXPECT_EQ(d.Notice(DPSYS_SESSIONLOST), c.StepsDown);
        EXPECT_EQ(d.Core.IsHost(), !c.StepsDown);
        EXPECT_EQ(d.Core.Listed(), !c.StepsDown);
    }
}

TEST(RoomTrust, AHostStoppedWhileItsSilenceBoundPassedStepsDownBeforeAnythingElse) {
    // We host a and b and stop for 7.5 s (shorter than a freeze) while
    // their silence passes its bound: they may have a successor by now. The
    // first thing we do when we run again is what the tick would have done
    // then, before a join we read meanwhile. With only a silent, we go on.
    for (bool bothSilent : {true, false}) {
        SCOPED_TRACE(bothSilent ? "most of the room silent" : "one of three silent");
        TDriver d;
        Host(d);
        Admit(d, 10, "a", 0x7F000002);
        Admit(d, 11, "b", 0x7F000003);
        for (int i = 0; i < 12; ++i) {
            d.Pass(250);
            if (!bothSilent) d.Feed(11, p2::EncodeEmpty(p2::PING));
        }
        d.Now += room::kFrozenMs - 500;
        if (!bothSilent) d.Feed(11, p2::EncodeEmpty(p2::PING)); // read before the tick
        d.Accept(12, proto::EncodeJoinRequest(kRoom), 0x7F000004);
        EXPECT_EQ(d.Notice(DPSYS_SESSIONLOST), bothSilent);
        EXPECT_EQ(d.Core.Listed(), !bothSilent);
        EXPECT_EQ(d.Sent(12, proto::JOIN_ACCEPT).empty(), bothSilent);
    }
}

TEST(RoomTrust, EachPairHasASecretOfItsOwn) {
    // A member that joined before x learns only its own pair's secret with x:
    // it cannot introduce itself to another member as x.
    TDriver d;
    Host(d);
    auto a = Admit(d, 10, "a", 0x7F000002);
    auto b = Admit(d, 11, "b", 0x7F000003);
    auto x = Admit(d, 12, "x", 0x7F000004);
    auto secretIn = [&](TLinkId link) {
        auto added = d.Sent(link, p2::MEMBER_ADDED);
        return p2::DecodeMemberAdded(added.back().data(), added.back().size())->Secret;
    };
    p2::TSecret ax = secretIn(10), bx = secretIn(11);
    EXPECT_NE(ax, bx);
    ASSERT_EQ(x.View.Members.size(), 4u);
    EXPECT_EQ(x.Secrets[1], ax);
    EXPECT_EQ(x.Secrets[2], bx);
    // b's welcome: its pair with a has a secret of its own too.
    EXPECT_NE(b.Secrets[1], ax);
    EXPECT_NE(b.Secrets[1], bx);
    (void)a;
}

TEST(RoomTrust, ControlBytesInANameAreRefusedAtAdmission) {
    TDriver d;
    Host(d);
    TLinkId link = 20;
    for (std::string name :
         {std::string("x\n<h>type your password"), std::string("a\x1b[2J"), std::string("n\0ul", 4),
          std::string("cr\r"), std::string("del\x7f")}) {
        ++link;
        d.Accept(link, proto::EncodeJoinRequest(kRoom), 0x7F000009);
        d.Feed(link, proto::EncodeCreatePlayer({6000, name}));
        auto refused = d.Sent(link, proto::JOIN_REFUSE);
        ASSERT_EQ(refused.size(), 1u) << name;
        EXPECT_EQ(proto::DecodeJoinRefuse(refused[0].data(), refused[0].size()),
                  DPERR_INVALIDPARAMS);
        EXPECT_TRUE(d.Closed(link));
    }
    EXPECT_EQ(d.Core.Players().size(), 0u);
    // Double-byte characters whose second byte looks like ASCII are names as any.
    Admit(d, 40, "\x95\x5c\x83\x5c", 0x7F000002); // 表ソ
    EXPECT_EQ(d.Core.Players().size(), 1u);
    // A view from the wire that names anyone so is refused whole.
    p2::TMemberAdded forged{3, Entry(9, 5), {}};
    forged.Member.Name = "a\nb";
    auto f = p2::EncodeMemberAdded(forged);
    EXPECT_FALSE(p2::DecodeMemberAdded(f->data() + 5, f->size() - 5));
}

TEST(RoomTrust, RelayedBlocksForANewcomerAreHeldByBytesAndSentAgain) {
    TCoverSeen taken0("newcomer.relayed-block-dropped");
    // A newcomer waits for its welcome while a sends it 3 blocks of 8 MiB:
    // the host holds 16 MiB at most and asks a to send the rest again.
    TDriver d;
    HostWithANewcomerWaiting(d, 10, 13, 11);
    auto added = d.Sent(10, p2::MEMBER_ADDED);
    auto m = p2::DecodeMemberAdded(added.back().data(), added.back().size());
    std::vector<uint8_t> big(p2::kMaxBlock - 64, 'z');
    for (uint64_t seq = 1; seq <= 3; ++seq) {
        auto inner = p2::EncodeData(seq, big.data(), static_cast<uint32_t>(big.size()));
        d.Feed(10, p2::EncodeRelay(m->Member.Id, p2::DATA, inner->data() + 5, inner->size() - 5));
    }
    EXPECT_TRUE(d.Sent(10, p2::RESEND).empty());
    d.Feed(13, p2::EncodeHostAck(m->View));
    EXPECT_EQ(d.Sent(11, p2::RELAY).size(), 2u);
    auto resend = d.Sent(10, p2::RESEND);
    ASSERT_EQ(resend.size(), 1u);
    EXPECT_EQ(p2::DecodeResend(resend[0].data(), resend[0].size()), m->Member.Id);
    EXPECT_TRUE(taken0.Taken()) << "never reached: newcomer.relayed-block-dropped";
}

TEST(RoomTrust, AMemberAskedToSendAgainSendsEverythingUnacknowledged) {
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    for (const char* text : {"one", "two"})
        d.Core.Send(d.Now, 5, reinterpret_cast<const uint8_t*>(text), 3);
    d.Take();
    EXPECT_EQ(d.Sent(r.HostLink, p2::RELAY).size(), 2u);
    d.Feed(r.HostLink, p2::EncodeResend(5));
    EXPECT_EQ(d.Sent(r.HostLink, p2::RELAY).size(), 4u);
    // Only the host may ask.
    d.Feed(30, p2::EncodeResend(5));
    EXPECT_EQ(d.Sent(r.HostLink, p2::RELAY).size(), 4u);
}

TEST(RoomTrust, AMemberThatNeverAcknowledgesIsRemoved) {
    TCoverSeen taken0("ack.never-acknowledged-removed");
    TDriver d;
    Host(d);
    Admit(d, 10, "a", 0x7F000002);
    Admit(d, 11, "b", 0x7F000003);
    uint32_t a = 0;
    for (auto& p : d.Core.Players())
        if (p.Name == "a") a = p.Id;
    ASSERT_EQ(d.Core.Send(d.Now, a, reinterpret_cast<const uint8_t*>("x"), 1), TRoomCore::SendOk);
    d.Take();
    // a keeps its link alive but never acknowledges; b acknowledges all.
    for (int i = 0; i < 4 * 32; ++i) {
        d.Pass(250);
        d.Feed(10, p2::EncodeEmpty(p2::PING));
        d.Feed(11, p2::EncodeEmpty(p2::PING));
        if (i == 4 * 25) {
            EXPECT_EQ(d.Core.Players().size(), 2u) << "removed before the bound";
        }
    }
    EXPECT_EQ(d.Sent(10, p2::REMOVED).size(), 1u);
    EXPECT_EQ(d.Core.Players().size(), 1u);
    EXPECT_TRUE(taken0.Taken()) << "never reached: ack.never-acknowledged-removed";
}

TEST(RoomTrust, MostMembersReportingOneRemoveIt) {
    // One report could be a lie; when most of the others say the same, the
    // accused is the one breaking the rules.
    TDriver d;
    Host(d);
    std::vector<p2::TWelcome> w;
    for (TLinkId link : {10, 11, 12, 13})
        w.push_back(Admit(d, link, "m" + std::to_string(link), 0x7F000000 + uint32_t(link)));
    uint32_t accused = w[3].YourId;
    d.Feed(10, p2::EncodeReport({d.Core.ViewNumber(), accused}));
    EXPECT_EQ(d.Core.Players().size(), 4u);
    d.Feed(10, p2::EncodeReport({d.Core.ViewNumber(), accused})); // the same reporter again
    EXPECT_EQ(d.Core.Players().size(), 4u);
    d.Feed(11, p2::EncodeReport({d.Core.ViewNumber(), accused}));
    EXPECT_EQ(d.Core.Players().size(), 3u);
    EXPECT_EQ(d.Sent(13, p2::REMOVED).size(), 1u);
}

TEST(RoomTrust, ASuccessorKeepsAMemberWhoseLinkIsBeingMade) {
    // We succeed a host that said goodbye while our introduction to 3 is
    // still on its way: 3 is kept, and gets our claim once the link is up.
    TSecondOfThree r;
    ASSERT_NO_FATAL_FAILURE(r.Enter());
    TDriver& d = r.D;
    const TLinkId host = r.HostLink, dial = r.Dial;
    d.Goodbye(host);
    ASSERT_TRUE(d.Core.IsHost());
    EXPECT_EQ(d.Core.Players().size(), 1u);
    d.Core.OnLinkUp(d.Now, dial);
    d.Take();
    d.Pass(1000);
    d.Feed(dial, p2::EncodeEmpty(p2::PEER_ACCEPT));
    EXPECT_EQ(d.Sent(dial, p2::NEW_HOST).size(), 1u);
    d.Pass(room::kLinkGraceMs);
    EXPECT_EQ(d.Core.Players().size(), 1u);
    EXPECT_TRUE(d.Sent(dial, p2::REMOVED).empty());
}

TEST(RoomTrust, WhatIsRelayedToAMemberWhoseLinkIsBeingMadeIsSentAgainOnceItIsUp) {
    TCoverSeen taken0("relay.no-link-yet");
    // We (2) succeed 1 in a room with 3, linked to us, and 4, whose link to
    // us is still being made. 3 relays a block to 4 through us before that
    // link is up: we cannot pass it on, so 3 is asked to send again once it is.
    TDriver d;
    TLinkId host = 0;
    Joiner(d, &host);
    p2::TWelcome w;
    w.View.View = 4;
    w.View.HostId = 1;
    w.View.Members = {Entry(1, 0), Entry(2, 1), Entry(3, 2), Entry(4, 3)};
    w.YourId = 2;
    w.Secrets.resize(4);
    w.Secrets[2].fill(0x23);
    w.Secrets[3].fill(0x24);
    d.Feed(host, p2::EncodeWelcome(w));
    d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, w.Secrets[2]}));
    const TLinkId dial4 = DialBesides(d, host, Entry(4, 3).Port);
    ASSERT_NE(dial4, 0u);
    d.Goodbye(host);
    ASSERT_TRUE(d.Core.IsHost());
    auto data = p2::EncodeData(1, "to 4", 4);
    d.Feed(300, p2::EncodeRelay(4, p2::DATA, data->data() + 5, data->size() - 5));
    EXPECT_TRUE(d.Sent(300, p2::RESEND).empty());
    d.Core.OnLinkUp(d.Now, dial4);
    d.Take();
    d.Feed(dial4, p2::EncodeEmpty(p2::PEER_ACCEPT));
    auto resend = d.Sent(300, p2::RESEND);
    ASSERT_EQ(resend.size(), 1u) << "the block for 4 is lost";
    EXPECT_EQ(p2::DecodeResend(resend[0].data(), resend[0].size()), 4u);
    EXPECT_TRUE(taken0.Taken()) << "never reached: relay.no-link-yet";
}

// Both members of a pair dialed: each keeps the link dialed by the lower id,
// and closes the other, with what was on its way on it unread.
TEST(RoomTrust, ASuccessorWhosePairChangesLinksSendsItsClaimAgainOnTheOneKept) {
    TCoverSeen taken0("pair-link-changed.view-again");
    // We (2) are the successor of 1; 3's introduction came in first, ours
    // to 3 is kept once it is up: the claim written on 3's link may be lost.
    TSecondOfThree r;
    ASSERT_NO_FATAL_FAILURE(r.Enter());
    TDriver& d = r.D;
    const TLinkId host = r.HostLink, dial = r.Dial;
    d.Accept(300, p2::EncodePeerHello({kRoom, 2, 3, r.W.Secrets[2]}));
    d.Goodbye(host);
    ASSERT_TRUE(d.Core.IsHost());
    ASSERT_EQ(d.Sent(300, p2::NEW_HOST).size(), 1u);
    d.Core.OnLinkUp(d.Now, dial);
    d.Take();
    d.Feed(dial, p2::EncodeEmpty(p2::PEER_ACCEPT));
    EXPECT_TRUE(d.Closed(300));
    auto again = d.Sent(dial, p2::NEW_HOST);
    ASSERT_EQ(again.size(), 1u);
    auto view = p2::DecodeNewHost(again[0].data(), again[0].size());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->HostId, 2u);
    EXPECT_EQ(view->Members.size(), 2u);
    EXPECT_TRUE(taken0.Taken()) << "never reached: pair-link-changed.view-again";
}

TEST(RoomTrust, AMemberWhosePairWithItsNewHostChangesLinksTakesTheViewAgain) {
    TCoverSeen taken0("pair-link-changed.ack-again");
    TCoverSeen taken1("new-host.view-again-taken");
    // 3 (the rule's pick) claims on its own link to us; then our link to it
    // is kept and its first comes down, with whatever it carried after the
    // claim. We acknowledge again on the kept link, and 3's view sent whole
    // there (with 6, admitted meanwhile) is taken, not treated as a new claim.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    TLinkId dial = DialBesides(d, r.HostLink, 9001);
    ASSERT_NE(dial, 0u);
    d.Goodbye(r.HostLink);
    p2::TViewMessage claim = r.Without1(7, 3);
    d.Feed(30, p2::EncodeNewHost(claim));
    ASSERT_EQ(d.Core.HostId(), 3u);
    d.Core.OnLinkUp(d.Now, dial);
    d.Take();
    d.Feed(dial, p2::EncodeEmpty(p2::PEER_ACCEPT));
    EXPECT_TRUE(d.Closed(30));
    EXPECT_EQ(d.Sent(dial, p2::HOST_ACK).size(), 1u);
    claim.View = 9;
    claim.Members.push_back(Entry(6, 5));
    d.Feed(dial, p2::EncodeNewHost(claim));
    EXPECT_FALSE(d.Closed(dial));
    EXPECT_TRUE(r.Reports().empty());
    EXPECT_EQ(d.Core.HostId(), 3u);
    EXPECT_EQ(d.Core.ViewNumber(), 9u);
    EXPECT_EQ(d.Core.Players().size(), 4u);
    // An older view sent again changes nothing.
    claim.View = 8;
    claim.Members.pop_back();
    d.Feed(dial, p2::EncodeNewHost(claim));
    EXPECT_EQ(d.Core.Players().size(), 4u);
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
    EXPECT_TRUE(taken0.Taken()) << "never reached: pair-link-changed.ack-again";
    EXPECT_TRUE(taken1.Taken()) << "never reached: new-host.view-again-taken";
}

TEST(RoomTrust, WhatTheSuccessorSendsAsHostBeforeOurHostsEndArrivesCountsOnceWeFollowIt) {
    TCoverSeen taken0("claim.host-frame-held");
    TCoverSeen taken1("claim.held-frame-taken");
    // 3 (the rule's pick) took over and already relays 5's block to us, admits
    // 6 and sends its view again while our host's goodbye is still on its way.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    p2::TViewMessage claim = r.Without1(7, 3);
    d.Feed(30, p2::EncodeNewHost(claim));
    const std::string text = "through the successor";
    auto data = p2::EncodeData(1, text.data(), uint32_t(text.size()));
    d.Feed(30, p2::EncodeRelay(5, p2::DATA, data->data() + 5, data->size() - 5));
    p2::TSecret none{};
    d.Feed(30, p2::EncodeMemberAdded({8, Entry(6, 5), none}));
    claim.View = 9;
    claim.Members.push_back(Entry(6, 5));
    d.Feed(30, p2::EncodeNewHost(claim));
    EXPECT_FALSE(d.Closed(30));
    EXPECT_TRUE(r.Reports().empty());
    EXPECT_TRUE(d.Delivered().empty() || d.Delivered().back().From != 5);

    d.Goodbye(r.HostLink);
    EXPECT_EQ(d.Core.HostId(), 3u);
    EXPECT_EQ(d.Core.ViewNumber(), 9u);
    EXPECT_EQ(d.Core.Players().size(), 4u);
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
    bool got = false;
    for (auto& a : d.Delivered())
        got |= a.From == 5 && std::string(a.Bytes.begin(), a.Bytes.end()) == text;
    EXPECT_TRUE(got) << "the relayed block was lost";
    EXPECT_TRUE(taken0.Taken()) << "never reached: claim.host-frame-held";
    EXPECT_TRUE(taken1.Taken()) << "never reached: claim.held-frame-taken";
}

TEST(RoomTrust, WhatASuccessorSendsAsHostIsHeldOnlyUpToItsBound) {
    // 3 (the rule's pick) claims the room while our host still answers, and
    // relays blocks as host: held until our host goes, but not past 4 MiB.
    // Past it, its link ends and the pair goes through our host.
    TRoomOfFive r;
    r.Enter();
    TDriver& d = r.D;
    d.Feed(30, p2::EncodeNewHost(r.Without1(7, 3)));
    std::vector<uint8_t> block((1u << 20) - 64, 'q');
    auto data = p2::EncodeData(1, block.data(), static_cast<uint32_t>(block.size()));
    auto relay = p2::EncodeRelay(5, p2::DATA, data->data() + 5, data->size() - 5);
    const size_t fit = room::kMaxHeldBytesFromClaimant / (relay->size() - 5);
    for (size_t i = 0; i < fit; ++i)
        d.Feed(30, relay);
    EXPECT_FALSE(d.Closed(30)) << "closed before its bound";
    d.Feed(30, relay);
    EXPECT_TRUE(d.Closed(30));
    EXPECT_EQ(d.Core.DirectPeers().count(3), 0u);
    EXPECT_EQ(d.Core.State(), TRoomCore::InRoom);
    EXPECT_EQ(d.Core.HostId(), 1u);
}

TEST(RoomTrust, AClaimantSendsItsClaimOnALinkMadeAfterIt) {
    // Our host's process dies while our introduction to 3 is on its way: the
    // claim goes to 3 once the link is up, and 3's acknowledgement (half of
    // the last view with ours) makes us host.
    TCoverSeen taken0("claim.sent-on-new-link");
    TSecondOfThree r;
    ASSERT_NO_FATAL_FAILURE(r.Enter());
    TDriver& d = r.D;
    d.Core.OnLinkEnded(d.Now, r.HostLink, TCoreLinkEnd::Closed);
    d.Take();
    ASSERT_FALSE(d.Core.IsHost());
    ASSERT_EQ(d.Core.State(), TRoomCore::InRoom);
    d.Core.OnLinkUp(d.Now, r.Dial);
    d.Take();
    d.Feed(r.Dial, p2::EncodeEmpty(p2::PEER_ACCEPT));
    auto claims = d.Sent(r.Dial, p2::NEW_HOST);
    ASSERT_EQ(claims.size(), 1u) << "the member whose link came up never hears the claim";
    d.Feed(r.Dial, p2::EncodeHostAck(p2::DecodeNewHost(claims[0].data(), claims[0].size())->View));
    EXPECT_TRUE(d.Core.IsHost());
    EXPECT_TRUE(taken0.Taken()) << "never reached: claim.sent-on-new-link";
}
