#pragma once
// A seeded simulated network for room cores: processes (one core each) with
// addresses, some behind NAT, links that carry frames with delays, and the
// faults a room meets: links that break, partitions, frozen and killed
// processes, pairs that never connect, hostile peers. After every event it
// checks what must hold at any moment; Quiet() checks what must hold once the
// room has settled. Failures are collected as texts.
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

class TRoomSim {
  public:
    explicit TRoomSim(uint64_t seed, bool trace = false);

    // Runs one random schedule: faults for a while, then quiet, then the checks.
    void RunSchedule();

    // Building blocks, for scripted scenarios.
    int AddNode(bool nat);
    void CreateRoom(int node, uint32_t maxPlayers);
    void JoinRoom(int node, int hostNode);
    bool SendBlock(int node, uint32_t to); // to 0: all
    void Leave(int node);
    void Kill(int node);
    void Freeze(int node, int64_t forMs);
    void Partition(int node, int64_t forMs);
    void BreakLink(int a, int b);
    void NeverConnect(int a, int b);
    void Hostile(int target, int kind);
    void RunFor(int64_t ms);
    void Quiet();

    TRoomCore& Core(int node) { return *nodes_[node].Core; }
    bool Alive(int node) const { return nodes_[node].Alive; }
    bool GotLost(int node) const { return nodes_[node].LostNotices > 0; }
    size_t Nodes() const { return nodes_.size(); }
    int64_t Now() const { return now_; }
    const std::vector<std::string>& Failures() const { return failures_; }
    // What happened, for a failing seed.
    const std::vector<std::string>& Trace() const { return trace_; }
    uint64_t Events() const { return events_; }
    uint64_t Delivered() const { return delivered_; }

  private:
    enum TItemKind { Accept, Up, Frame, Eof };
    struct TItem {
        TItemKind Kind;
        int64_t At;
        std::vector<uint8_t> Bytes; // a whole frame: length, type, body
    };
    struct TEnd {
        int Node = -1; // -1: a hostile peer with no core
        TLinkId Id = 0;
        bool Open = true;
        std::deque<TItem> In; // towards this end
        bool Scheduled = false;
    };
    struct TLink {
        TEnd End[2];
        bool Broken = false;
        uint32_t SourceIpv4 = 0;
    };
    struct TNode {
        std::unique_ptr<TRoomCore> Core;
        uint32_t Ipv4 = 0;
        bool Nat = false;
        bool Alive = true;
        int64_t FrozenUntil = 0;
        int64_t PartitionedUntil = 0;
        std::map<TLinkId, int> Links; // core's id -> sim link
        std::set<dplay::TTimerId> Timers;
        uint64_t Counter = 0; // blocks sent
        // Delivered: last counter per sending node.
        std::map<int, uint64_t> LastFrom;
        std::set<std::pair<int, uint64_t>> Received;
        int LostNotices = 0;
        bool Entered = false;
        std::string Name;
        std::string LastView; // for the trace
        // The player list as the session component builds it: the list read on
        // entering, then every create and destroy notice.
        std::set<uint32_t> Roster;
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

    void At(int64_t when, std::function<void()> fn);
    void Step();
    void Apply(int node);
    void Dial(int node, TLinkId id, uint32_t ipv4, const dplay::proto2::TFrame& request);
    void Push(int link, int toSide, TItem item);
    void Pump(int link, int side);
    bool Paused(int node) const;
    int64_t Delay();
    void Tick(int node);
    void OnDeliver(int node, const dplay::TCoreAction& a);
    void CheckAlways();
    void Fail(const std::string& what);
    void Log(const std::string& what);
    int NodeOfId(uint32_t id) const;
    int Lister() const;
    bool InRoom(int node) const;

    std::mt19937_64 rng_;
    bool traceOn_;
    int64_t now_ = 0;
    uint64_t order_ = 0;
    std::vector<TEvent> queue_; // a heap
    std::vector<TNode> nodes_;
    std::vector<TLink> links_;
    std::set<std::pair<int, int>> blocked_;
    // Every id a host had in its view, with the order in which hosts first had them.
    std::map<uint32_t, uint64_t> admitted_;
    std::map<uint32_t, int> idNode_;
    std::vector<TSent> sent_;
    // Members that left by leaving, and whether anything but leaves and
    // joins happened: then even a leaver's last blocks must all arrive.
    std::set<int> leftCleanly_;
    bool faults_ = false;
    std::vector<std::string> failures_;
    std::vector<std::string> trace_;
    uint64_t events_ = 0, delivered_ = 0;
    uint64_t nextAccepted_ = 0;
    dplay::TGuid application_, instance_;
};

} // namespace simtest
