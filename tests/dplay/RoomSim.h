#pragma once
// A seeded simulated network for room cores: processes (one core each) with
// addresses, some behind NAT, links that carry frames with delays and a byte
// budget in flight, and the faults a room meets: links that break, partitions
// of any part of the room, frozen and killed processes, readers that lag,
// pairs that never connect, strangers, and members the host admitted that
// then misbehave. After every event it checks what must hold at any moment;
// Quiet() checks what must hold once the room has settled. Failures are
// collected as texts.
#include "dplay/core/DPRoomCore.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace simtest {

using dplay::TLinkId;
using dplay::TRoomCore;

// Parts of the schedule that today's room still fails; off in the normal run.
struct TSimOptions {
    bool Hostile = false; // admitted members that forge, replay and flood
    bool Floods = false;  // bursts and big-block floods at lagging readers
    bool Joins = false;   // a join turned away while its host ran must not have been shown
    bool Leavers = false; // a leaver's last blocks reach everyone, also behind an ACK
    static TSimOptions FromEnvironment();
};

class TRoomSim {
  public:
    explicit TRoomSim(uint64_t seed, bool trace = false, TSimOptions options = {});

    // Runs one random schedule: faults for a while, then quiet, then the checks.
    void RunSchedule();

    // Building blocks, for scripted scenarios.
    int AddNode(bool nat, bool hostile = false);
    void CreateRoom(int node, uint32_t maxPlayers);
    void JoinRoom(int node, int hostNode);
    // to 0: all. size 0: a small block of random size.
    bool SendBlock(int node, uint32_t to, size_t size = 0);
    void Leave(int node);
    void Kill(int node);
    void Freeze(int node, int64_t forMs, bool readFirst = false);
    void Partition(int node, int64_t forMs);
    // The nodes in `side` reach each other, the rest each other, and no one across.
    void PartitionSet(const std::set<int>& side, int64_t forMs);
    // The session component does not take what was delivered for a while.
    void Lag(int node, int64_t forMs);
    void BreakLink(int a, int b);
    void NeverConnect(int a, int b);
    // A stranger, never admitted; hold: it sends nothing after its request.
    void Hostile(int target, int kind, bool hold = false);
    void Storm(int target); // forty strangers at once
    // An admitted hostile member does one thing of the given kind (see Attack).
    void Attack(int node, int kind);
    void RunFor(int64_t ms);
    void Quiet();

    TRoomCore& Core(int node) { return *nodes_[node].Core; }
    bool Alive(int node) const { return nodes_[node].Alive; }
    bool GotLost(int node) const { return nodes_[node].LostNotices > 0; }
    size_t Nodes() const { return nodes_.size(); }
    int64_t Now() const { return now_; }
    const std::vector<std::string>& Failures() const { return failures_; }
    // Simulated time of the first failure, -1 if none.
    int64_t FirstFailureAt() const { return firstFailureAt_; }
    // What happened, for a failing seed.
    const std::vector<std::string>& Trace() const { return trace_; }
    uint64_t Events() const { return events_; }
    uint64_t Delivered() const { return delivered_; }
    uint64_t Forged() const { return forged_; }
    uint64_t Refused() const { return refused_; }

    static constexpr int kAttackKinds = 14;

  private:
    enum TItemKind { Accept, Up, Frame, Eof };
    struct TItem {
        TItemKind Kind;
        int64_t At;
        dplay::proto2::TFrame Bytes; // a whole frame: length, type, body (null: none)
        int ForgedBy = -1;           // an admitted hostile node put it there itself
        size_t Size() const { return Bytes ? Bytes->size() : 0; }
    };
    struct TEnd {
        int Node = -1; // -1: a hostile peer with no core
        TLinkId Id = 0;
        bool Open = true;
        std::deque<TItem> In; // towards this end, on the wire
        uint64_t Wire = 0;    // bytes of In
        // Written by the other end but beyond the budget in flight: held by
        // the writer's shell, bounded as the real one bounds it.
        std::deque<TItem> Unsent;
        uint64_t UnsentBytes = 0;
        uint64_t UnsentRaw = 0; // of which a hostile node wrote itself
        bool Scheduled = false;
    };
    struct TLink {
        TEnd End[2];
        bool Broken = false;
        bool Stranger = false; // opened by a peer never admitted
        dplay::TNetAddress Source;
    };
    // What an admitted hostile member learnt from the frames it was sent.
    struct TLoot {
        std::map<uint32_t, dplay::proto2::TViewEntry> Entries;
        std::map<uint32_t, dplay::proto2::TSecret> Secrets; // admission secrets
        std::deque<dplay::proto2::TFrame> Seen;             // for replays
    };
    struct TNode {
        std::unique_ptr<TRoomCore> Core;
        dplay::TNetAddress Address;
        bool Nat = false;
        bool Hostile = false;
        bool Alive = true;
        int64_t FrozenUntil = 0;
        bool ReadFirst = false; // resumes by reading before its next tick
        int64_t LagUntil = 0;
        uint64_t Queued = 0;       // delivered, not yet taken by the session component
        bool DriverPaused = false; // its links are not read: the queue is full
        int64_t LastEvent = -1;
        int64_t FaultAt = -1;         // last time it was frozen, cut off, lagged or killed
        std::map<TLinkId, int> Links; // core's id -> sim link
        std::set<dplay::TTimerId> Timers;
        uint64_t Counter = 0; // blocks sent
        // Delivered: last counter per sending node.
        std::map<int, uint64_t> LastFrom;
        std::set<std::pair<int, uint64_t>> Received;
        int LostNotices = 0;
        bool Entered = false;
        int64_t JoinAt = -1;
        int JoinHost = -1;
        bool JoinFailed = false;
        std::string Name;
        std::string LastView; // for the trace
        uint32_t LastHost = 0;
        // The last view it held from an honest host: that host's node and the
        // view's number. A member cut off from its host never sees the views
        // made meanwhile, so its successor is picked from this one.
        int HeldFrom = -1;
        uint32_t HeldView = 0;
        // The player list as the session component builds it: the list read on
        // entering, then every create and destroy notice.
        std::set<uint32_t> Roster;
        std::set<uint32_t> EverLinked; // ids it ever had a direct link to
        // Per peer id: sizes of the blocks its core took for it, in order.
        std::map<uint32_t, std::deque<size_t>> Stored;
        TLoot Loot;
    };
    struct TSent {
        int From;
        uint64_t Counter;
        std::set<int> To; // nodes in the sender's view at the time
    };
    struct TEvent {
        int64_t At;
        uint64_t Order;
        std::function<void()> Run;
        bool operator>(const TEvent& o) const { return At != o.At ? At > o.At : Order > o.Order; }
    };
    // A view as an honest host made it, links included: what the successor
    // rule is applied to.
    struct TAgreed {
        std::vector<uint32_t> Order;
        std::map<uint32_t, std::set<uint32_t>> Links;
    };

    void At(int64_t when, std::function<void()> fn);
    void Step();
    void Apply(int node);
    void Dial(int node, TLinkId id, const dplay::TNetAddress& to,
              const dplay::proto2::TFrame& request);
    void Push(int link, int toSide, TItem item);
    void Refill(int link, int toSide);
    void Pump(int link, int side);
    void WakeLinks(int node);
    bool Paused(int node) const;
    bool Connected(int a, int b) const;
    int64_t Resume(int node) const;
    int64_t Delay();
    void Tick(int node);
    void SetReading(int node, bool reading);
    void OnDeliver(int node, const dplay::TCoreAction& a);
    void OnSent(int node, const dplay::proto2::TFrame& frame, int to);
    void Sniff(int node, const dplay::proto2::TFrame& frame);
    void CheckAlways();
    void CheckForged(int node, int by, uint8_t type, TRoomCore::TState before,
                     const std::vector<uint32_t>& viewBefore, uint32_t hostBefore, bool frozen);
    static uint32_t RulePick(const TAgreed& view, uint32_t without);
    // Host node's view by number, from the latest it made up to that number.
    const TAgreed* ViewMade(int host, uint32_t view) const;
    void Fail(const std::string& what);
    void Log(const std::string& what);
    int NodeOfId(uint32_t id) const;
    int NodeAt(const dplay::TNetAddress& address) const;
    int Lister() const;
    bool InRoom(int node) const;
    bool IsHostileId(uint32_t id) const;
    int OpenLinkTo(int from, int to) const;
    int RandomPeerLink(int node);
    void Inject(int node, int link, dplay::proto2::TFrame frame);
    void Impersonate(int node, int target, uint32_t as, const dplay::proto2::TSecret& secret);
    void Burst(int node, int count, size_t size);
    void Story();

    TSimOptions options_;
    std::mt19937_64 rng_;
    bool traceOn_;
    int64_t now_ = 0;
    uint64_t order_ = 0;
    std::vector<TEvent> queue_; // a heap
    std::vector<TNode> nodes_;
    std::vector<TLink> links_;
    std::set<std::pair<int, int>> blocked_;
    std::set<int> partSide_;
    int64_t partUntil_ = 0;
    int64_t hardFaultAt_ = -1000000; // the last link broken or process killed
    // Every id a host had in its view, with the order in which hosts first had them.
    std::map<uint32_t, uint64_t> admitted_;
    std::map<uint32_t, int> idNode_;
    std::map<uint32_t, std::set<int>> shownArriving_;
    std::map<std::pair<int, uint32_t>, TAgreed> made_; // (host node, view number)
    std::vector<TSent> sent_;
    // Per sender and receiver: counters shown as sent and not yet delivered.
    std::map<std::pair<int, int>, std::deque<uint64_t>> expect_;
    std::set<std::pair<int, uint64_t>> refusedBlocks_;
    // Members that left by leaving, and whether anything but leaves and
    // joins happened: then even a leaver's last blocks must all arrive.
    std::set<int> leftCleanly_;
    bool faults_ = false;
    bool quiet_ = false;
    bool hostileOnly_ = false; // only an admitted member misbehaves
    std::vector<std::string> failures_;
    int64_t firstFailureAt_ = -1;
    std::vector<std::string> trace_;
    uint64_t events_ = 0, delivered_ = 0, forged_ = 0, refused_ = 0;
    uint64_t nextAccepted_ = 0;
    dplay::TGuid application_, instance_;
};

} // namespace simtest
