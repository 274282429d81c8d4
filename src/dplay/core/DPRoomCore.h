#pragma once
// The decisions of one local member of a room: views, admission, routing
// direct or through the host, order and exactly-once delivery across a
// change of route, removal, succession, session loss. No sockets, no
// threads, no clock: the shell feeds it events (each with the current
// monotonic time) and carries out the actions it returns.
#include "dplay/api/DirectPlay.h"
#include "dplay/protocol/DPProtocol2.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace dplay {

// Bounds and times of the room. The silences are ordered so that a member the
// others removed has learnt it before they choose a new host, and a host cut
// off from most of its room has stepped down before a successor lists it.
namespace room {
constexpr int64_t kPingAfterMs = 1000;     // idle time before a PING
constexpr int64_t kSilenceMs = 10000;      // nothing received: the link ends
constexpr int64_t kCutOffSilenceMs = 5000; // every other link this quiet too: we are cut off
constexpr int64_t kDrainSilenceMs = 2000;  // a departed member's link, quiet this long, is done
constexpr int64_t kFrozenMs = 8000;        // a gap between events: others may have removed us
constexpr int64_t kJoinDeadlineMs = 5000;  // JOIN_ACCEPT to CREATE_PLAYER
constexpr int64_t kRedialMs = 1000;        // after a failed introduction, times the failures
constexpr uint32_t kMaxDials = 4;          // introductions tried per pair, while it has no link
constexpr int64_t kIntroHoldMs = 5000;     // an introduction waiting for its MEMBER_ADDED
constexpr int64_t kSuccessionMs = 5000;    // waiting for NEW_HOST, or for enough HOST_ACKs
// Silences a host counts together: the others' removal plus their succession.
constexpr int64_t kSilenceWindowMs = kSilenceMs + kSuccessionMs;
// After a silence the successor starts only this long after the old host
// would have stepped down (its own silences are timed from its side).
constexpr int64_t kStepDownMs = 3000;
constexpr size_t kMaxPendingJoins = 16; // per room
constexpr size_t kMaxPendingJoinsPerAddress = 4;
constexpr size_t kMaxHeldIntroductions = 8;
// Relayed to a newcomer before its welcome: held up to this many bytes; past
// it, dropped and asked for again from their senders once it is welcomed.
constexpr uint64_t kMaxHeldBytesForNewcomer = 16ull << 20;
// A pair whose oldest unacknowledged block is this old does not take what it
// is sent: longer than any freeze the room waits out.
constexpr int64_t kAckTimeoutMs = 30000;
// A successor keeps a member whose link to it is still being made this long.
constexpr int64_t kLinkGraceMs = 5000;
// The longest a join may wait for a member that went quiet but may come back.
constexpr int64_t kAdmitSilentMs = kSilenceMs + 1000;
// What a successor we do not follow yet sends as host, held in bytes.
constexpr uint64_t kMaxHeldBytesFromClaimant = 4ull << 20;
// A pair's store counts each block as it stands on a link, framing included
// (a relayed DATA frame's, the largest), and stays a little below the link's
// own bound, leaving room for the control frames that share the link: a peer
// that reads nothing makes its sender wait, not lose the link.
constexpr uint64_t kStoredFraming = 32;
constexpr uint64_t kMaxUnackedBytes = proto::kMaxUnsentBytes - (1ull << 20);
constexpr uint64_t StoredBytes(size_t block) { return block + kStoredFraming; }
constexpr uint32_t kAckEvery = 16; // blocks received before an ACK goes out unasked

// Two parts of a room that both hold more than half of it cannot exist: the
// one rule behind admission, succession, reports and stepping down.
constexpr bool Majority(size_t with, size_t of) {
    return 2 * with > of;
}
// Half is enough only against a side known not to hold the rest (a host whose
// stream ended: it may go on only if it still has more than half).
constexpr bool Half(size_t with, size_t of) {
    return 2 * with >= of;
}
} // namespace room

using TLinkId = uint64_t;
using TTimerId = uint64_t;

// Why a link ended, as the shell saw it.
enum class TCoreLinkEnd {
    Closed,    // end of stream or reset: the peer closed it or its process ended
    Timeout,   // the shell's own deadline (connect, handshake)
    Violation, // the peer broke framing or the handshake
    Failed,    // a dial that never connected
};

struct TCoreAction {
    enum TKind {
        Dial,        // Link, Address, Port; Frame is the request sent after HELLO
        Send,        // Link, Frame
        Close,       // Link; Frame (may be null) is written last before the close
        Deliver,     // From (0: a notice), Bytes; Announces: the member a create notice is about
        SetTimer,    // Timer, DelayMs
        CancelTimer, // Timer
        List,        // the room is listed (or its entry changed): Room
        Unlist,
        Finish, // a call ended: Call, Result, Id
    };
    enum TCall { Open, CreatePlayer };
    explicit TCoreAction(TKind kind) : Kind(kind) {}
    TKind Kind;
    TLinkId Link = 0;
    TNetAddress Address;
    uint16_t Port = 0;
    proto2::TFrame Frame;
    DPID From = 0;
    std::vector<uint8_t> Bytes;
    uint32_t Announces = 0;
    TTimerId Timer = 0;
    int64_t DelayMs = 0;
    proto::TRoomInfo Room;
    TCall Call = Open;
    HRESULT Result = DP_OK;
    uint32_t Id = 0;
};

class TRoomCore {
  public:
    enum TState { Idle, Opening, Opened, Entering, InRoom, Lost, Left };
    enum TSendResult { SendOk, SendNotInRoom, SendNoPlayer, SendTooLarge, SendFull };

    // seed: ids and secrets are drawn from it (the shell seeds from the system).
    explicit TRoomCore(uint64_t seed);
    // The key our links show (zero on links in the clear); before Create or Join.
    void SetOwnKey(const proto2::TKeyId& key) { ownKey_ = key; }

    // Local calls.
    void Create(int64_t now, const proto::TRoomInfo& room);
    void Join(int64_t now, const TNetAddress& hostAddress, uint16_t port, const TGuid& application,
              const TGuid& instance);
    void CreatePlayer(int64_t now, const std::string& name, uint16_t memberPort);
    TSendResult Send(int64_t now, DPID to, const uint8_t* data, size_t size);
    void Leave(int64_t now);
    // The shell stopped reading its links (the owner does not take what was
    // delivered) or reads again: a silence meanwhile is ours, not the peers'.
    void SetReading(int64_t now, bool reading);

    // Events. Links that this core dialed carry ids with the top bit set;
    // the shell's ids for accepted links have it clear.
    // key: the one the link's peer showed in its handshake (zero in the clear).
    void OnLinkAccepted(int64_t now, TLinkId link, const TNetAddress& remote, uint8_t type,
                        const uint8_t* body, size_t size, const proto2::TKeyId& key = {});
    void OnLinkUp(int64_t now, TLinkId link, const proto2::TKeyId& key = {});
    void OnFrame(int64_t now, TLinkId link, uint8_t type, const uint8_t* body, size_t size);
    void OnLinkEnded(int64_t now, TLinkId link, TCoreLinkEnd why);
    void OnTimer(int64_t now, TTimerId timer);
    void OnTick(int64_t now);

    std::vector<TCoreAction> TakeActions();

    // What must hold between events; the first that does not, or empty. The
    // tests and the simulation run it after every event, and so does every
    // entry point in a build with assertions.
    std::string CheckInvariants() const;

    TState State() const { return state_; }
    bool IsHost() const {
        return state_ == InRoom && hostId_ == ownId_ && ownId_ != 0 && !claiming_;
    }
    bool Listed() const { return listed_; }
    uint32_t OwnId() const { return ownId_; }
    uint32_t HostId() const { return hostId_; }
    uint32_t ViewNumber() const { return view_; }
    const TGuid& Instance() const { return room_.Instance; }
    // Ids in the view, the own one included.
    std::vector<uint32_t> ViewIds() const;
    struct TPlayer {
        uint32_t Id;
        std::string Name;
    };
    // The other members of the view.
    std::vector<TPlayer> Players() const;
    // Ids of the members reached by a direct link (not through the host).
    std::set<uint32_t> DirectPeers() const;
    // Blocks held for a peer until it acknowledges them.
    size_t Unacked(uint32_t peer) const;
    // The limit of members this room holds.
    uint32_t Limit() const;
    // The key of the room's host as the agreed view holds it (ours when we
    // host); zero before we are in a room.
    proto2::TKeyId HostKey() const;

  private:
    enum TLinkRole {
        JoinPending, // host: JOIN_ACCEPT sent, waiting for CREATE_PLAYER
        HeldIntro,   // an introduction naming a member not announced yet
        ToHost,      // joiner: JOIN_REQUEST sent, then waiting for WELCOME
        Dialing,     // PEER_HELLO sent, waiting for PEER_ACCEPT
        Admitting,   // host: the newcomer Peer is announced; its welcome waits for a majority
        MemberLink,  // established with Peer
        Draining,    // Peer has left the view: what it sent before is read to the end
    };
    struct TLink {
        explicit TLink(TLinkRole role = MemberLink) : Role(role) {}
        TLinkRole Role;
        uint32_t Peer = 0;
        uint32_t Dialer = 0; // who dialed it: the tie between two links of a pair
        TNetAddress Remote;
        proto2::TKeyId Key{}; // the one its peer showed
        bool Up = false;  // connected: frames may be written
        bool Bye = false; // the peer said goodbye: its end is a departure
        int64_t LastReceive = 0;
        int64_t LastSend = 0;
        int64_t DrainSince = 0;
        TTimerId Timer = 0;
        uint32_t ClaimView = 0;   // the claim of ours this link carries
        proto2::TPeerHello Hello; // HeldIntro
    };
    struct TOutgoing {
        uint64_t Seq;
        std::shared_ptr<const std::vector<uint8_t>> Block;
        int64_t At; // since when its acknowledgement is awaited
    };
    struct TPeer {
        proto2::TViewEntry Entry;
        proto2::TSecret Secret{}; // the pair's: the later member's admission secret
        bool SecretKnown = false;
        TLinkId Direct = 0;
        // Per pair: what we send and what we received.
        uint64_t NextSeq = 1;
        std::deque<TOutgoing> Unacked;
        uint64_t UnackedBytes = 0;
        uint64_t Expected = 1;
        uint32_t AckDue = 0;
        // Introductions of ours that failed: a newcomer refuses them until
        // it has read its welcome, which may come after its MEMBER_ADDED.
        uint32_t DialsFailed = 0;
        bool DialRefused = false; // the last one reached it and was turned away
        // The route the unacked blocks went out on; a new one gets them again.
        TLinkId RouteLink = 0;
        bool RouteRelayed = false;
        // Host, while admitting this member: its link, the view that added it,
        // the members of the view before, who has taken the new view, and
        // what was relayed to it meanwhile.
        TLinkId Admission = 0;
        uint32_t AdmitView = 0;
        int64_t AdmitSince = 0;
        size_t AdmitOf = 0;
        std::set<uint32_t> AdmitAcks;
        std::vector<proto2::TFrame> Held;
        uint64_t HeldBytes = 0;
        std::set<uint32_t> Dropped; // senders whose relayed blocks to it were not passed on
        // It broke the rules on its direct link: it is reached only through the host.
        bool Distrusted = false;
        bool AckReported = false; // we told the host it does not acknowledge
        // Host: members that reported it.
        std::set<uint32_t> ReportedBy;
    };
    enum TTimerKind {
        JoinDeadline,
        IntroDeadline,
        AwaitNewHost,
        AwaitHostAck,
        HeldNewHost,
        StepDown,
        AdmitDeadline,
        Redial,
        LinkGrace
    };
    struct TTimer {
        TTimerKind Kind;
        TLinkId Link = 0;
        uint32_t Peer = 0; // Redial
    };

    // Every entry point starts here: a long gap means we were frozen.
    bool Observe(int64_t now);
    void Emit(TCoreAction a) { actions_.push_back(std::move(a)); }
    void SendOn(TLinkId link, proto2::TFrame frame);
    void CloseLink(TLinkId link, proto2::TFrame last = nullptr);
    TTimerId StartTimer(TTimerKind kind, int64_t delayMs, TLinkId link = 0);
    void StopTimer(TTimerId& timer);
    void Notice(const void* msg, size_t size, const std::string& tail = {}, uint32_t about = 0);
    void NoticeCreate(const proto2::TViewEntry& e);
    void NoticeDestroy(uint32_t id);
    void Finish(TCoreAction::TCall call, HRESULT result, uint32_t id = 0);
    TLinkId NewLinkId() { return (uint64_t(1) << 63) | ++dialCounter_; }
    uint32_t NewMemberId();
    proto2::TSecret NewSecret();
    proto::TRoomInfo CurrentInfo() const;
    void UpdateListing();

    // Frames by link role.
    void OnHostLinkFrame(TLinkId id, TLink& link, uint8_t type, const uint8_t* body, size_t size);
    void OnJoinFrame(TLinkId id, TLink& link, uint8_t type, const uint8_t* body, size_t size);
    void OnMemberFrame(TLinkId id, TLink& link, uint8_t type, const uint8_t* body, size_t size);
    bool OnViewFrame(uint32_t from, uint8_t type, const uint8_t* body, size_t size);
    // Frames only a host sends.
    static bool HostOnly(uint8_t type) {
        namespace p2 = proto2;
        return type == p2::MEMBER_ADDED || type == p2::MEMBER_REMOVED || type == p2::LINK_VIEW ||
               type == p2::RELAY || type == p2::RESEND || type == p2::NEW_HOST ||
               type == p2::REMOVED;
    }
    bool OnPairFrame(uint32_t from, uint8_t type, const uint8_t* body, size_t size);
    void DeliverInOrder(TPeer& peer, proto2::TData& m);

    // Admission.
    void ServeJoinRequest(TLinkId id, const TNetAddress& remote, const proto2::TKeyId& key,
                          const uint8_t* body, size_t size);
    void Admit(TLinkId id, TLink& link, const proto::TCreatePlayer& request);
    void OnWelcome(TLinkId id, const proto2::TWelcome& m);
    void TryWelcome(uint32_t id);
    // Host: the senders whose relayed blocks to it we could not pass on send them again.
    void AskDroppedAgain(uint32_t id, TPeer& peer);
    // Introductions.
    void ServePeerHello(TLinkId id, const TNetAddress& remote, const proto2::TKeyId& key,
                        const proto2::TPeerHello& m);
    // key: what the introducing link showed; it must be the one the host
    // announced for the member it names.
    bool IntroductionValid(const proto2::TPeerHello& m, const proto2::TKeyId& key) const;
    void AcceptIntroduction(TLinkId id, TLink& link);
    void DialPeer(const TPeer& peer);
    void ReleaseHeldIntroductions();
    void SetDirect(uint32_t peer, TLinkId id);
    // Views.
    void AddPeer(const proto2::TViewEntry& e, const proto2::TSecret* secret, bool notify);
    void RemovePeer(uint32_t id, bool tellIt, bool notice = true);
    // The host removed a member: drained first when its direct link is alive.
    void Departed(uint32_t id);
    void EndDrain(TLinkId id);
    void HostRemove(uint32_t id, bool left = false);
    void ReportLinks();
    void HostSetLinks(uint32_t member, const std::set<uint32_t>& links);
    void SendLinkView();
    std::vector<uint32_t> ViewOrder() const;
    proto2::TViewMessage ViewMessage() const;
    // Routing and delivery.
    void Transmit(TPeer& peer, const TOutgoing& block);
    void Reroute(TPeer& peer);
    void RerouteAll();
    void SendAck(TPeer& peer);
    bool SendPairFrame(TPeer& peer, uint8_t type, const proto2::TFrame& frame);
    // Losing links, the host, the session.
    // ended: the other side ended it (not our silence bound, not our refusal).
    void DropLink(TLinkId id, bool timedOut, bool ended = false);
    // unexplained: it ended from the other side without a goodbye.
    void MemberLinkGone(uint32_t peer, TLinkId id, bool timedOut, bool unexplained);
    bool CutOff(TLinkId except) const;
    // Host: those removed after a silence lately, with `going` more, are
    // most of the room they were in.
    bool MostOfTheRoomGone(size_t going);
    void StepDownAfterAStall();
    // How the host's link ended: it said goodbye, its stream ended without one
    // (killed, or the link was reset), or it went silent.
    enum THostEnd { HostBye, HostEnded, HostSilent };
    void HostLost(THostEnd how);
    // The rule's successor of the view without `without` (the host).
    uint32_t Successor(bool* byLinks, uint32_t without = 0) const;
    // A member broke the rules on its direct link: cut it off, tell the host.
    void Distrust(TLinkId id, uint32_t peer);
    void OnReport(uint32_t from, const proto2::TReport& m);
    void CheckAcks();
    void ForgetPairSecrets(uint32_t id, bool all);
    static std::pair<uint32_t, uint32_t> PairKey(uint32_t a, uint32_t b) {
        return {std::min(a, b), std::max(a, b)};
    }
    void Claim(THostEnd how);
    // Our view as host or claimant, on one link (frame: already encoded).
    void SendClaim(TLinkId id, const proto2::TFrame& frame = nullptr);
    void BecomeHost();
    void ConfirmClaim();
    bool ClaimHeld() const;
    // A direct link to it, or one being made.
    bool Reaching(uint32_t id) const;
    void AdoptNewHost(uint32_t from, TLinkId link, const proto2::TViewMessage& m);
    void OnNewHost(uint32_t from, TLinkId link, const proto2::TViewMessage& m);
    void SessionLost();
    // Ends the room for us: pending calls fail, every link and timer ends.
    void EndRoom(TState next);
    void EndAllLinks();

    std::mt19937_64 rng_;
    TState state_ = Idle;
    std::optional<int64_t> lastNow_;
    int64_t now_ = 0;
    proto::TRoomInfo room_;
    TNetAddress hostAddress_;
    bool creator_ = false;
    uint32_t ownId_ = 0;
    proto2::TViewEntry self_;   // our own entry as the view holds it
    proto2::TKeyId ownKey_{};
    uint32_t reportedView_ = 0; // the last LINKS we sent: its view and links
    std::set<uint32_t> reportedLinks_;
    uint32_t hostId_ = 0;
    uint32_t view_ = 0;
    std::map<uint32_t, TPeer> peers_; // the view without ourselves
    // Members removed from the view whose direct link is still read to its
    // end; their departure is told once it has been.
    std::map<uint32_t, TPeer> departing_;
    std::map<TLinkId, TLink> links_;
    TLinkId joinLink_ = 0;
    std::map<TTimerId, TTimer> timers_;
    TTimerId nextTimer_ = 0;
    uint64_t dialCounter_ = 0;
    bool listed_ = false;
    bool reading_ = true;
    std::set<uint32_t> usedIds_; // host: never hand an id out twice
    // Host: secrets of pairs whose members have not both been told yet.
    std::map<std::pair<uint32_t, uint32_t>, proto2::TSecret> pairSecrets_;
    uint32_t successor_ = 0; // whom we wait for while the host is lost
    // Succession.
    bool hostLost_ = false; // waiting for NEW_HOST from the successor
    TTimerId successionTimer_ = 0;
    bool claiming_ = false; // we are the successor, not yet confirmed
    uint32_t claimView_ = 0;
    size_t claimOf_ = 0; // members of the last view, the old host included
    std::set<uint32_t> claimAcks_;
    THostEnd claimHow_ = HostSilent;
    bool claimByLinks_ = true;  // the rule chose us by the links, not only as the lowest
    int64_t hostLastHeard_ = 0; // when the lost host last sent anything
    bool hostConfirmed_ = true; // our host has spoken as host, not only claimed
    bool hostBye_ = false;      // the host's link brought BYE before it ended
    TTimerId stepDownTimer_ = 0;
    std::set<uint32_t> grace_; // new host: members whose link to us is being made
    TTimerId graceTimer_ = 0;
    std::deque<int64_t> timeoutRemovals_; // host: members removed after a silence, recently
    struct THeldNewHost {
        uint32_t From;
        TLinkId Link;
        proto2::TViewMessage View;
        TTimerId Timer;
        // What it sent as host meanwhile, taken in order once we follow it.
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Later;
        uint64_t LaterBytes = 0;
    };
    std::optional<THeldNewHost> heldNewHost_;
    std::vector<TCoreAction> actions_;
};

} // namespace dplay
