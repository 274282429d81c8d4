#include "RoomSim.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <optional>
#include <sstream>

namespace simtest {

using namespace dplay;
namespace p2 = dplay::proto2;

namespace {

constexpr int64_t kTickMs = 250;
constexpr uint8_t kHonest = 0x5A;
constexpr uint8_t kHostile = 0xEE; // a stranger's block
constexpr uint8_t kForged = 0xF0;  // an admitted member's block claiming another sender
// Bytes a link carries in flight before the writer's shell holds the rest
// (socket buffers of both ends), and how fast a frame goes on the wire.
constexpr uint64_t kWindow = 4u << 20;
constexpr uint64_t kBytesPerMs = 64u << 10;
// The driver stops reading a member's links above this much undelivered,
// and reads again below half of it.
constexpr uint64_t kQueueBound = 32u << 20;
// What a host may hold for a newcomer waiting for its welcome: a pair's
// store and one block more would be a sane bound; twice that is a fault.
constexpr uint64_t kHeldBound = 2 * (room::kMaxUnackedBytes + proto::kMaxBlock);

p2::TFrame Block(uint32_t from, uint64_t counter, uint8_t marker, size_t size) {
    auto b = std::make_shared<std::vector<uint8_t>>(std::max<size_t>(size, 13));
    std::memcpy(b->data(), &from, 4);
    std::memcpy(b->data() + 4, &counter, 8);
    (*b)[12] = marker;
    return b;
}

bool EnvOn(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

} // namespace

TSimOptions TSimOptions::FromEnvironment() {
    TSimOptions o;
    bool all = EnvOn("PARLORA_SIM_HOSTILE");
    o.Hostile = all;
    o.Floods = all || EnvOn("PARLORA_SIM_FLOODS");
    o.Joins = all || EnvOn("PARLORA_SIM_JOINS");
    o.Leavers = all || EnvOn("PARLORA_SIM_LEAVERS");
    return o;
}

TRoomSim::TRoomSim(uint64_t seed, bool trace, TSimOptions options)
    : options_(options), rng_(seed), traceOn_(trace) {
    // Big blocks come and go all the time: keep their memory in the heap
    // instead of mapping and faulting it in anew for each.
    static const bool heap = [] {
        mallopt(M_MMAP_THRESHOLD, 64 << 20);
        mallopt(M_TRIM_THRESHOLD, 512 << 20);
        return true;
    }();
    (void)heap;
    std::mt19937_64 g(seed ^ 0x9E3779B97F4A7C15ull);
    for (auto& b : application_.Bytes)
        b = static_cast<uint8_t>(g());
    for (auto& b : instance_.Bytes)
        b = static_cast<uint8_t>(g());
}

void TRoomSim::Log(const std::string& what) {
    if (traceOn_) trace_.push_back(std::to_string(now_) + " " + what);
}

void TRoomSim::Fail(const std::string& what) {
    if (firstFailureAt_ < 0) firstFailureAt_ = now_;
    if (failures_.size() < 20) failures_.push_back("t=" + std::to_string(now_) + ": " + what);
    Log("FAIL " + what);
}

int64_t TRoomSim::Delay() {
    // Mostly a LAN or a short Internet path, sometimes a slow one.
    return rng_() % 10 == 0 ? 50 + int64_t(rng_() % 400) : 1 + int64_t(rng_() % 40);
}

void TRoomSim::At(int64_t when, std::function<void()> fn) {
    queue_.push_back(TEvent{std::max(when, now_), ++order_, std::move(fn)});
    std::push_heap(queue_.begin(), queue_.end(), std::greater<>());
}

void TRoomSim::Step() {
    std::pop_heap(queue_.begin(), queue_.end(), std::greater<>());
    TEvent e = std::move(queue_.back());
    queue_.pop_back();
    now_ = e.At;
    ++events_;
    e.Run();
}

void TRoomSim::RunFor(int64_t ms) {
    int64_t end = now_ + ms;
    while (!queue_.empty() && queue_.front().At <= end)
        Step();
    now_ = end;
}

bool TRoomSim::Paused(int node) const {
    return !nodes_[node].Alive || now_ < nodes_[node].FrozenUntil;
}

int64_t TRoomSim::Resume(int node) const {
    // A resumed process either reads what waits on its links first or
    // ticks first; both happen.
    const TNode& n = nodes_[node];
    return n.FrozenUntil + (n.ReadFirst ? 0 : 1);
}

bool TRoomSim::Connected(int a, int b) const {
    return now_ >= partUntil_ || partSide_.count(a) == partSide_.count(b);
}

bool TRoomSim::IsHostileId(uint32_t id) const {
    int node = NodeOfId(id);
    return node >= 0 && nodes_[node].Hostile;
}

// The key a node's links show: its user's, the same across restarts; a
// hostile member has its own and no other.
static p2::TKeyId SimKey(int node) {
    p2::TKeyId key{};
    key[0] = uint8_t(node + 1);
    key[31] = 0x5A;
    return key;
}

int TRoomSim::AddNode(bool nat, bool hostile) {
    int index = static_cast<int>(nodes_.size());
    TNode node;
    node.Core = std::make_unique<TRoomCore>(rng_());
    node.Core->SetOwnKey(SimKey(index));
    // Rooms of both families: every other member is at an IPv6 address.
    if (index % 2 == 0) {
        node.Address = TNetAddress::FromIpv4(0x0A000001u + static_cast<uint32_t>(index));
    } else {
        node.Address.Bytes = {0xFD, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(index)};
        node.Address.Bytes[15] = 1;
    }
    node.Nat = nat;
    node.Hostile = hostile;
    node.Name = (hostile ? "h" : "m") + std::to_string(index);
    nodes_.push_back(std::move(node));
    At(now_ + int64_t(rng_() % kTickMs), [this, index] { Tick(index); });
    return index;
}

void TRoomSim::Tick(int node) {
    TNode& n = nodes_[node];
    if (!n.Alive) return;
    // A resumed process runs its overdue timer in the same wake-up as what
    // waits on its links: reading first puts the tick a moment later, not a
    // tick period later (the room is listed until the process runs again).
    if (Paused(node))
        return At(n.FrozenUntil + (n.ReadFirst ? 1 : 0), [this, node] { Tick(node); });
    n.LastEvent = now_;
    n.Core->OnTick(now_);
    Apply(node);
    // The session component takes what was delivered, unless it is busy.
    if (now_ >= n.LagUntil) {
        n.Queued = 0;
        if (n.DriverPaused) SetReading(node, true);
    }
    CheckAlways();
    At(now_ + kTickMs, [this, node] { Tick(node); });
}

void TRoomSim::SetReading(int node, bool reading) {
    TNode& n = nodes_[node];
    n.DriverPaused = !reading;
    Log(n.Name + (reading ? " reads again" : " stops reading"));
    n.Core->SetReading(now_, reading);
    Apply(node);
    if (reading) WakeLinks(node);
}

void TRoomSim::WakeLinks(int node) {
    for (size_t i = 0; i < links_.size(); ++i)
        for (int side = 0; side < 2; ++side) {
            TEnd& end = links_[i].End[side];
            if (end.Node != node || end.In.empty() || end.Scheduled) continue;
            end.Scheduled = true;
            int link = static_cast<int>(i);
            At(now_, [this, link, side] { Pump(link, side); });
        }
}

void TRoomSim::CreateRoom(int node, uint32_t maxPlayers) {
    proto::TRoomInfo room;
    room.Application = application_;
    room.Instance = instance_;
    room.MaxPlayers = maxPlayers;
    room.Name = "room";
    nodes_[node].LastEvent = now_;
    nodes_[node].Core->Create(now_, room);
    Apply(node);
    CheckAlways();
}

void TRoomSim::JoinRoom(int node, int hostNode) {
    if (Paused(node)) return;
    Log(nodes_[node].Name + " joins at " + nodes_[hostNode].Name);
    nodes_[node].JoinAt = now_;
    nodes_[node].JoinHost = hostNode;
    nodes_[node].LastEvent = now_;
    nodes_[node].Core->Join(now_, nodes_[hostNode].Address, 1, application_, instance_);
    Apply(node);
    CheckAlways();
}

bool TRoomSim::InRoom(int node) const {
    return nodes_[node].Alive && nodes_[node].Core->State() == TRoomCore::InRoom;
}

int TRoomSim::NodeOfId(uint32_t id) const {
    auto it = idNode_.find(id);
    return it == idNode_.end() ? -1 : it->second;
}

int TRoomSim::NodeAt(const TNetAddress& address) const {
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].Address == address) return static_cast<int>(i);
    return -1;
}

int TRoomSim::Lister() const {
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].Alive && nodes_[i].Core->Listed()) return static_cast<int>(i);
    return -1;
}

bool TRoomSim::SendBlock(int node, uint32_t to, size_t size) {
    TNode& n = nodes_[node];
    if (Paused(node) || !InRoom(node)) return false;
    uint64_t counter = ++n.Counter;
    if (size == 0) size = 13 + rng_() % 200;
    auto block = Block(static_cast<uint32_t>(node), counter, kHonest, size);
    TSent sent{node, counter, {}};
    std::vector<uint32_t> targets;
    if (to == 0) {
        for (auto& p : n.Core->Players())
            targets.push_back(p.Id);
    } else {
        targets.push_back(to);
    }
    for (uint32_t id : targets)
        if (int r = NodeOfId(id); r >= 0) sent.To.insert(r);
    n.LastEvent = now_;
    auto result = n.Core->Send(now_, to, block->data(), block->size());
    // What the user sees: the session component raises every refusal (a
    // full store too: the window keeps the text, parlora-cli waits and sends
    // it again), so only a block the core took looks sent.
    bool shown = result == TRoomCore::SendOk;
    if (result == TRoomCore::SendOk) {
        for (uint32_t id : targets)
            n.Stored[id].push_back(block->size());
    } else {
        refusedBlocks_.insert({node, counter});
        ++refused_;
    }
    if (shown && !n.Hostile) {
        sent_.push_back(sent);
        for (int r : sent.To)
            expect_[{node, r}].push_back(counter);
    }
    Log(n.Name + " sends #" + std::to_string(counter) + " (" + std::to_string(block->size()) +
        " bytes) to " + std::to_string(to) + " result " + std::to_string(result));
    Apply(node);
    // A pair's store is bounded: the blocks it still holds are the last ones taken.
    for (uint32_t id : targets) {
        auto& sizes = n.Stored[id];
        size_t held = n.Core->Unacked(id);
        while (sizes.size() > held)
            sizes.pop_front();
        uint64_t bytes = 0;
        for (size_t s : sizes)
            bytes += room::StoredBytes(s);
        if (bytes > room::kMaxUnackedBytes)
            Fail(n.Name + " holds " + std::to_string(bytes >> 20) + " MiB for one peer");
    }
    CheckAlways();
    return result == TRoomCore::SendOk;
}

void TRoomSim::Burst(int node, int count, size_t size) {
    for (int i = 0; i < count && InRoom(node) && !Paused(node); ++i)
        SendBlock(node, 0, size);
}

void TRoomSim::Leave(int node) {
    if (Paused(node)) return;
    Log(nodes_[node].Name + " leaves");
    // One that leaves while it waits for a successor may have been removed
    // already by the one that took over without it: not a clean departure.
    if (InRoom(node) && nodes_[node].Core->HostId() != 0) leftCleanly_.insert(node);
    nodes_[node].FaultAt = now_; // a join it gives up is no refusal
    nodes_[node].LastEvent = now_;
    nodes_[node].Core->Leave(now_);
    Apply(node);
    CheckAlways();
}

void TRoomSim::Kill(int node) {
    TNode& n = nodes_[node];
    if (!n.Alive) return;
    Log(n.Name + " killed");
    faults_ = true;
    hardFaultAt_ = now_;
    n.Alive = false;
    n.FaultAt = now_;
    // The system closes its sockets: what was written still goes, then the
    // end; what the process held unwritten is gone with it.
    for (auto& [id, link] : n.Links) {
        TLink& l = links_[link];
        int side = l.End[0].Node == node && l.End[0].Id == id ? 0 : 1;
        if (!l.End[side].Open) continue;
        l.End[side].Open = false;
        l.End[side].In.clear();
        l.End[1 - side].Unsent.clear();
        l.End[1 - side].UnsentBytes = l.End[1 - side].UnsentRaw = 0;
        Push(link, 1 - side, TItem{Eof, 0, nullptr});
    }
    n.Links.clear();
    n.Timers.clear();
    CheckAlways();
}

void TRoomSim::Freeze(int node, int64_t forMs, bool readFirst) {
    if (!nodes_[node].Alive || Paused(node)) return;
    Log(nodes_[node].Name + " frozen for " + std::to_string(forMs) +
        (readFirst ? ", reads first" : ""));
    faults_ = true;
    nodes_[node].FrozenUntil = now_ + forMs;
    nodes_[node].ReadFirst = readFirst;
    nodes_[node].FaultAt = now_;
}

void TRoomSim::Partition(int node, int64_t forMs) {
    PartitionSet({node}, forMs);
}

void TRoomSim::PartitionSet(const std::set<int>& side, int64_t forMs) {
    if (now_ < partUntil_) return; // one at a time
    std::string names;
    for (int n : side)
        names += " " + nodes_[n].Name;
    Log("cut off from the rest for " + std::to_string(forMs) + ":" + names);
    faults_ = true;
    partSide_ = side;
    partUntil_ = now_ + forMs;
    for (TNode& n : nodes_)
        n.FaultAt = now_;
}

void TRoomSim::Lag(int node, int64_t forMs) {
    TNode& n = nodes_[node];
    if (!n.Alive) return;
    Log(n.Name + " does not read for " + std::to_string(forMs));
    n.LagUntil = std::max(n.LagUntil, now_ + forMs);
    n.FaultAt = now_;
}

void TRoomSim::NeverConnect(int a, int b) {
    blocked_.insert({std::min(a, b), std::max(a, b)});
}

void TRoomSim::BreakLink(int a, int b) {
    faults_ = true;
    for (TLink& l : links_) {
        if (l.Broken || !l.End[0].Open || !l.End[1].Open) continue;
        if ((l.End[0].Node == a && l.End[1].Node == b) ||
            (l.End[0].Node == b && l.End[1].Node == a)) {
            Log("link " + nodes_[a].Name + "-" + nodes_[b].Name + " broken");
            l.Broken = true;
            hardFaultAt_ = now_;
            for (TEnd& e : l.End) {
                e.In.clear();
                e.Wire = 0;
                e.Unsent.clear();
                e.UnsentBytes = e.UnsentRaw = 0;
            }
            nodes_[a].FaultAt = nodes_[b].FaultAt = now_;
            return;
        }
    }
}

void TRoomSim::Dial(int node, TLinkId id, const TNetAddress& to, const p2::TFrame& request) {
    int target = NodeAt(to);
    int index = static_cast<int>(links_.size());
    links_.push_back(TLink{});
    TLink& l = links_[index];
    l.End[0].Node = node;
    l.End[0].Id = id;
    l.Source = nodes_[node].Address;
    nodes_[node].Links[id] = index;
    bool blocked = target >= 0 && blocked_.count({std::min(node, target), std::max(node, target)});
    bool ok = target >= 0 && target != node && nodes_[target].Alive && !nodes_[target].Nat &&
              !blocked && !Paused(target) && Connected(node, target);
    if (!ok) {
        l.Broken = true;
        At(now_ + Delay() * 20, [this, node, id, index] {
            TNode& n = nodes_[node];
            auto it = n.Links.find(id);
            if (it == n.Links.end() || it->second != index || !n.Alive) return;
            if (Paused(node)) return; // the shell reports it when it runs; a tick ends it anyway
            n.Links.erase(it);
            n.LastEvent = now_;
            n.Core->OnLinkEnded(now_, id, TCoreLinkEnd::Failed);
            Apply(node);
            CheckAlways();
        });
        return;
    }
    l.End[1].Node = target;
    l.End[1].Id = ++nextAccepted_;
    Push(index, 1, TItem{Accept, 0, request});
    Push(index, 0, TItem{Up, 0, nullptr});
}

void TRoomSim::Push(int link, int toSide, TItem item) {
    TLink& l = links_[link];
    TEnd& end = l.End[toSide];
    if (l.Broken || !end.Open) return;
    if (!end.Unsent.empty() || (end.Wire > 0 && end.Wire + item.Size() > kWindow)) {
        end.UnsentBytes += item.Size();
        // A hostile writer blocks on its socket rather than give up: its
        // own writes do not count against its shell's bound.
        if (item.ForgedBy >= 0) end.UnsentRaw += item.Size();
        const bool raw = item.ForgedBy >= 0;
        end.Unsent.push_back(std::move(item));
        if (raw || end.UnsentBytes - end.UnsentRaw <= proto::kMaxUnsentBytes) return;
        // The writer's shell will not hold more for a peer that does not
        // read: it drops what is not on the wire, writes REMOVED as its
        // last words and ends the link; the reader gets them after what is
        // on the wire.
        int writer = 1 - toSide;
        TEnd& w = l.End[writer];
        end.Unsent.clear();
        end.UnsentBytes = end.UnsentRaw = 0;
        if (w.Node >= 0) Log(nodes_[w.Node].Name + "'s shell ends a link: the peer does not read");
        const int64_t last = end.In.empty() ? now_ + Delay() : end.In.back().At;
        if (w.Node >= 0) end.In.push_back(TItem{Frame, last, p2::EncodeEmpty(p2::REMOVED)});
        end.In.push_back(TItem{Eof, last, nullptr});
        if (!end.Scheduled) {
            end.Scheduled = true;
            At(end.In.front().At, [this, link, toSide] { Pump(link, toSide); });
        }
        if (!w.Open) return;
        w.Open = false;
        w.In.clear();
        w.Wire = 0;
        if (w.Node < 0) return;
        int node = w.Node;
        TLinkId id = w.Id;
        nodes_[node].Links.erase(id);
        At(now_, [this, node, id] {
            TNode& n = nodes_[node];
            if (!n.Alive) return;
            n.LastEvent = now_;
            n.Core->OnLinkEnded(now_, id, TCoreLinkEnd::Timeout);
            Apply(node);
            CheckAlways();
        });
        return;
    }
    item.At = now_ + Delay() + int64_t(item.Size() / kBytesPerMs);
    if (!end.In.empty()) item.At = std::max(item.At, end.In.back().At);
    end.Wire += item.Size();
    end.In.push_back(std::move(item));
    if (!end.Scheduled) {
        end.Scheduled = true;
        At(end.In.front().At, [this, link, toSide] { Pump(link, toSide); });
    }
}

void TRoomSim::Refill(int link, int toSide) {
    TEnd& end = links_[link].End[toSide];
    while (!end.Unsent.empty() &&
           (end.Wire == 0 || end.Wire + end.Unsent.front().Size() <= kWindow)) {
        TItem item = std::move(end.Unsent.front());
        end.Unsent.pop_front();
        end.UnsentBytes -= item.Size();
        if (item.ForgedBy >= 0) end.UnsentRaw -= item.Size();
        item.At = now_ + Delay() + int64_t(item.Size() / kBytesPerMs);
        if (!end.In.empty()) item.At = std::max(item.At, end.In.back().At);
        end.Wire += item.Size();
        end.In.push_back(std::move(item));
    }
}

void TRoomSim::Pump(int link, int side) {
    TEnd* end = &links_[link].End[side];
    end->Scheduled = false;
    int node = end->Node;
    while (!end->In.empty() && end->In.front().At <= now_) {
        if (links_[link].Broken || !end->Open || node < 0 || !nodes_[node].Alive) {
            end->In.clear();
            end->Wire = 0;
            return;
        }
        TNode& n = nodes_[node];
        int other = links_[link].End[1 - side].Node;
        int64_t resume = now_ < n.FrozenUntil ? Resume(node) : 0;
        if (other >= 0 && !Connected(node, other)) resume = std::max(resume, partUntil_);
        if (resume > now_) {
            end->Scheduled = true;
            At(resume, [this, link, side] { Pump(link, side); });
            return;
        }
        // Its driver stopped reading: it wakes the link when it reads again.
        if (n.DriverPaused) return;
        TItem item = std::move(end->In.front());
        end->In.pop_front();
        end->Wire -= item.Size();
        Refill(link, side);
        TRoomCore& core = *n.Core;
        const std::vector<uint8_t> none;
        const std::vector<uint8_t>& bytes = item.Bytes ? *item.Bytes : none;
        const uint8_t* body = bytes.size() > 5 ? bytes.data() + 5 : nullptr;
        size_t size = bytes.size() > 5 ? bytes.size() - 5 : 0;
        uint8_t type = bytes.size() > 4 ? bytes[4] : 0;
        const bool frozen = n.LastEvent >= 0 && now_ - n.LastEvent > room::kFrozenMs;
        const auto stateBefore = core.State();
        const auto viewBefore = core.ViewIds();
        const uint32_t hostBefore = core.HostId();
        n.LastEvent = now_;
        if (item.Kind == Frame && n.Hostile) Sniff(node, item.Bytes);
        if (traceOn_) {
            static const char* kinds[] = {"accept", "up", "frame", "end"};
            Log((other >= 0 ? nodes_[other].Name : std::string("?")) + " -> " + n.Name + " " +
                kinds[item.Kind] +
                (item.Kind == Frame || item.Kind == Accept
                     ? " type " + std::to_string(type) + " " + std::to_string(bytes.size()) +
                           " bytes"
                     : std::string()) +
                (item.ForgedBy >= 0 ? " forged" : "") + " link " + std::to_string(link));
        }
        switch (item.Kind) {
        case Accept:
            n.Links[end->Id] = link;
            core.OnLinkAccepted(now_, end->Id, links_[link].Source, type, body, size,
                                other >= 0 ? SimKey(other) : p2::TKeyId{});
            break;
        case Up:
            core.OnLinkUp(now_, end->Id, other >= 0 ? SimKey(other) : p2::TKeyId{});
            break;
        case Frame:
            core.OnFrame(now_, end->Id, type, body, size);
            break;
        case Eof:
            end->Open = false;
            n.Links.erase(end->Id);
            core.OnLinkEnded(now_, end->Id, TCoreLinkEnd::Closed);
            break;
        }
        Apply(node);
        if (item.ForgedBy >= 0 && !n.Hostile)
            CheckForged(node, item.ForgedBy, item.Kind == Accept ? uint8_t(0) : type, stateBefore,
                        viewBefore, hostBefore, frozen);
        CheckAlways();
        end = &links_[link].End[side]; // links_ may have grown
    }
    if (!end->In.empty() && !end->Scheduled) {
        end->Scheduled = true;
        At(end->In.front().At, [this, link, side] { Pump(link, side); });
    }
}

void TRoomSim::CheckForged(int node, int by, uint8_t type, TRoomCore::TState before,
                           const std::vector<uint32_t>& viewBefore, uint32_t hostBefore,
                           bool frozen) {
    // A member may cut off whoever sends it nonsense, but nothing one member
    // writes may end another's session or take a third one out of a view.
    TNode& n = nodes_[node];
    if (frozen || before != TRoomCore::InRoom) return;
    // A hostile member that the rule made our host is trusted with the room
    // as any host is: its word on who is in it counts.
    if (hostBefore != n.Core->OwnId() && NodeOfId(hostBefore) == by) return;
    const std::string who =
        " on a frame (type " + std::to_string(type) + ") " + nodes_[by].Name + " forged";
    if (n.Core->State() != TRoomCore::InRoom) return Fail(n.Name + " lost the room" + who);
    auto after = n.Core->ViewIds();
    for (uint32_t id : viewBefore)
        if (!IsHostileId(id) && std::find(after.begin(), after.end(), id) == after.end()) {
            int gone = NodeOfId(id);
            Fail(n.Name + " took " + (gone >= 0 ? nodes_[gone].Name : std::to_string(id)) +
                 " out of its view" + who);
        }
}

void TRoomSim::Apply(int node) {
    // Every event passes through here: what the core promises of itself
    // must hold after each one.
    if (auto broken = nodes_[node].Core->CheckInvariants(); !broken.empty())
        Fail(nodes_[node].Name + "'s core: " + broken);
    for (;;) {
        auto actions = nodes_[node].Core->TakeActions();
        if (actions.empty()) return;
        // What a batch leaves listed must be listed by the room's host.
        std::optional<bool> listing;
        // Bytes a host writes to a newcomer right behind its welcome: held for it.
        TLinkId welcomed = 0;
        uint64_t heldAfterWelcome = 0;
        for (const TCoreAction& a : actions) {
            TNode& n = nodes_[node];
            switch (a.Kind) {
            case TCoreAction::Dial:
                Dial(node, a.Link, a.Address, a.Frame);
                break;
            case TCoreAction::Send:
            case TCoreAction::Close: {
                auto it = n.Links.find(a.Link);
                if (it == n.Links.end()) break;
                int link = it->second;
                TLink& l = links_[link];
                int side = l.End[0].Node == node && l.End[0].Id == a.Link ? 0 : 1;
                if (a.Frame) {
                    OnSent(node, a.Frame, l.End[1 - side].Node);
                    if (a.Frame->size() > 4 && (*a.Frame)[4] == p2::WELCOME) {
                        welcomed = a.Link;
                    } else if (welcomed == a.Link) {
                        heldAfterWelcome += a.Frame->size();
                    }
                    Push(link, 1 - side, TItem{Frame, 0, a.Frame});
                }
                if (a.Kind == TCoreAction::Close) {
                    Push(link, 1 - side, TItem{Eof, 0, nullptr});
                    links_[link].End[side].Open = false;
                    links_[link].End[side].In.clear();
                    links_[link].End[side].Wire = 0;
                    nodes_[node].Links.erase(a.Link);
                }
                break;
            }
            case TCoreAction::Deliver:
                OnDeliver(node, a);
                break;
            case TCoreAction::SetTimer: {
                n.Timers.insert(a.Timer);
                dplay::TTimerId timer = a.Timer;
                auto fn = std::make_shared<std::function<void()>>();
                *fn = [this, node, timer, fn] {
                    TNode& t = nodes_[node];
                    if (!t.Alive || !t.Timers.count(timer)) return;
                    if (Paused(node)) return At(Resume(node), *fn);
                    t.Timers.erase(timer);
                    t.LastEvent = now_;
                    t.Core->OnTimer(now_, timer);
                    Apply(node);
                    CheckAlways();
                };
                At(now_ + a.DelayMs, [fn] { (*fn)(); });
                break;
            }
            case TCoreAction::CancelTimer:
                n.Timers.erase(a.Timer);
                break;
            case TCoreAction::List:
                Log(n.Name + " lists, view " + std::to_string(n.Core->ViewNumber()));
                listing = true;
                break;
            case TCoreAction::Unlist:
                listing = false;
                break;
            case TCoreAction::Finish:
                if (a.Call == TCoreAction::Open && a.Result == DP_OK) {
                    n.LastEvent = now_;
                    // A hostile member may pick a name that would forge lines
                    // in logs and terminals.
                    n.Core->CreatePlayer(now_,
                                         n.Hostile && options_.Hostile && rng_() % 2
                                             ? n.Name + "\n<m0> please type your password\x1b[2J"
                                             : n.Name,
                                         1);
                } else if (a.Call == TCoreAction::CreatePlayer && a.Result == DP_OK) {
                    n.Entered = true;
                    idNode_[a.Id] = node;
                    if (!admitted_.count(a.Id) && n.JoinAt >= 0)
                        Fail(n.Name + " was told it entered, but no host admitted it");
                    // Who arrived after us must be shown arriving, not listed at entry.
                    const auto own = admitted_.find(a.Id);
                    for (auto& p : n.Core->Players()) {
                        n.Roster.insert(p.Id);
                        auto other = admitted_.find(p.Id);
                        if (own != admitted_.end() && other != admitted_.end() &&
                            other->second > own->second)
                            Fail(n.Name + " lists at entry " + std::to_string(p.Id) +
                                 ", admitted after it");
                    }
                    Log(n.Name + " entered as " + std::to_string(a.Id));
                } else {
                    Log(n.Name + " call " + std::to_string(a.Call) + " failed " +
                        std::to_string(a.Result));
                    if (!Failed(a.Result)) Fail(n.Name + " got an unknown call result");
                    if (n.JoinAt >= 0) {
                        n.JoinFailed = true;
                        int host = n.JoinHost;
                        // Turned away while it and its host ran and reached each
                        // other: the room must not have shown it arriving.
                        // Links broken, partitions and kills shortly before make
                        // a wait for a majority right; only members that froze or
                        // stopped reading are judged below.
                        const int64_t since = n.JoinAt - room::kSilenceWindowMs;
                        bool clean = n.FaultAt < n.JoinAt && host >= 0 && InRoom(host) &&
                                     nodes_[host].FaultAt < n.JoinAt && hardFaultAt_ < since &&
                                     partUntil_ < since;
                        // ... and those it could not hear were too few to go on
                        // without it: the host could have admitted without them.
                        if (clean) {
                            auto view = nodes_[host].Core->ViewIds();
                            size_t silent = 0;
                            for (uint32_t id : view)
                                if (int m = NodeOfId(id); m >= 0 && m != host && m != node &&
                                                          nodes_[m].Alive &&
                                                          (Paused(m) || nodes_[m].DriverPaused))
                                    ++silent;
                            clean = 2 * silent <= view.size();
                        }
                        for (auto& [id, who] : idNode_)
                            if (who == node && options_.Joins && clean &&
                                !shownArriving_[id].empty())
                                Fail(n.Name + "'s join failed, yet " +
                                     nodes_[*shownArriving_[id].begin()].Name +
                                     " was shown it arriving");
                    }
                }
                break;
            }
        }
        if (welcomed && heldAfterWelcome > kHeldBound)
            Fail(nodes_[node].Name + " held " + std::to_string(heldAfterWelcome >> 20) +
                 " MiB for a newcomer");
        if (traceOn_) {
            TRoomCore& c = *nodes_[node].Core;
            std::string v = std::to_string(c.State()) + "/" + std::to_string(c.ViewNumber()) +
                            "/host " + std::to_string(NodeOfId(c.HostId())) + ":";
            for (uint32_t id : c.ViewIds())
                v += " " + std::to_string(NodeOfId(id));
            if (v != nodes_[node].LastView) Log(nodes_[node].Name + " view " + v);
            nodes_[node].LastView = v;
        }
        if (listing && *listing && !nodes_[node].Core->IsHost())
            Fail(nodes_[node].Name + " lists the room without being its host");
        TNode& n = nodes_[node];
        if (n.Alive && !n.DriverPaused && n.Queued > kQueueBound) {
            n.DriverPaused = true;
            Log(n.Name + " stops reading");
            n.Core->SetReading(now_, false);
        }
    }
}

void TRoomSim::OnSent(int node, const p2::TFrame& frame, int to) {
    TNode& n = nodes_[node];
    if (frame->size() < 5 || n.Hostile) return;
    const uint8_t type = (*frame)[4];
    // A host that leaves sends its last links on its way out.
    if (!n.Core->IsHost() && type != p2::LINK_VIEW) return;
    const uint8_t* body = frame->data() + 5;
    const size_t size = frame->size() - 5;
    if (type == p2::MEMBER_ADDED) {
        // Who the newcomer is, before it knows itself.
        if (auto m = p2::DecodeMemberAdded(body, size)) {
            int joiner = NodeAt(m->Member.Address);
            if (joiner >= 0 && !idNode_.count(m->Member.Id)) idNode_[m->Member.Id] = joiner;
        }
    } else if (type == p2::WELCOME) {
        if (auto m = p2::DecodeWelcome(body, size)) {
            if (to >= 0 && !idNode_.count(m->YourId)) idNode_[m->YourId] = to;
        }
    } else if (type == p2::LINK_VIEW) {
        auto m = p2::DecodeLinkView(body, size);
        if (!m) return;
        auto known = made_.find({node, m->View});
        std::vector<uint32_t> order;
        if (known != made_.end())
            order = known->second.Order;
        else if (n.Core->IsHost())
            order = n.Core->ViewIds();
        if (m->Masks.size() != order.size()) return;
        TAgreed& made = made_[{node, m->View}];
        made.Order = order;
        made.Links.clear();
        for (size_t i = 0; i < order.size(); ++i) {
            made.Links[order[i]] = p2::IdsOf(m->Masks[i], order);
            int claimer = NodeOfId(order[i]);
            if (claimer < 0 || !nodes_[claimer].Hostile) continue;
            // A link counts when both of its ends report it, and then it
            // must have been made: a hostile member's word alone counts for nothing.
            for (uint32_t id : made.Links[order[i]]) {
                int other = NodeOfId(id);
                auto back = std::find(order.begin(), order.end(), id);
                if (other < 0 || back == order.end() ||
                    !p2::IdsOf(m->Masks[back - order.begin()], order).count(order[i]))
                    continue;
                bool ever = false;
                for (const TLink& l : links_)
                    if ((l.End[0].Node == claimer && l.End[1].Node == other) ||
                        (l.End[0].Node == other && l.End[1].Node == claimer))
                        ever = true;
                if (!ever)
                    Fail(n.Name + " counts a link " + nodes_[claimer].Name + "-" +
                         nodes_[other].Name + " that was never made");
            }
        }
    }
}

void TRoomSim::OnDeliver(int node, const TCoreAction& a) {
    TNode& n = nodes_[node];
    n.Queued += a.Bytes.size();
    if (a.From == DPID_SYSMSG) {
        uint32_t type = 0;
        if (a.Bytes.size() >= 4) std::memcpy(&type, a.Bytes.data(), 4);
        if (type == DPSYS_SESSIONLOST) {
            Log(n.Name + " session lost");
            if (++n.LostNotices > 1) Fail(n.Name + " told twice that the session is lost");
        } else if (type == DPSYS_HOST) {
            Log(n.Name + " is host");
        } else if (type == DPSYS_CREATEPLAYERORGROUP || type == DPSYS_DESTROYPLAYERORGROUP) {
            uint32_t id = 0;
            if (a.Bytes.size() >= 12) std::memcpy(&id, a.Bytes.data() + 8, 4);
            if (id == 0 || id == n.Core->OwnId()) Fail(n.Name + " notice about id 0 or itself");
            if (type == DPSYS_CREATEPLAYERORGROUP) {
                shownArriving_[id].insert(node);
                for (size_t i = sizeof(DPMSG_CREATEPLAYERORGROUP); i < a.Bytes.size(); ++i)
                    if (a.Bytes[i] < 0x20 || a.Bytes[i] == 0x7F) {
                        Fail(n.Name + " was shown a name with control bytes");
                        break;
                    }
            }
            if (type == DPSYS_CREATEPLAYERORGROUP && n.Entered && !n.Roster.insert(id).second)
                Fail(n.Name + " told twice of one member's arrival");
            if (type == DPSYS_DESTROYPLAYERORGROUP && n.Entered && !n.Roster.erase(id))
                Fail(n.Name + " told of a member leaving that it never had");
        } else {
            Fail(n.Name + " got an unknown notice");
        }
        return;
    }
    if (a.Bytes.size() < 13) return Fail(n.Name + " got a block it was never sent");
    uint32_t from = 0;
    uint64_t counter = 0;
    std::memcpy(&from, a.Bytes.data(), 4);
    std::memcpy(&counter, a.Bytes.data() + 4, 8);
    if (a.Bytes[12] == kHostile) return Fail(n.Name + " took a block from a peer never admitted");
    // An admitted member may send anything under its own name.
    if (int sender = NodeOfId(a.From); sender >= 0 && nodes_[sender].Hostile) return;
    if (a.Bytes[12] == kForged)
        return Fail(n.Name + " took a forged block as " +
                    (NodeOfId(a.From) >= 0 ? nodes_[NodeOfId(a.From)].Name : "?") + "'s");
    if (from >= nodes_.size() || nodes_[from].Core->OwnId() != a.From)
        return Fail(n.Name + " got a block under the wrong sender");
    if (refusedBlocks_.count({static_cast<int>(from), counter}))
        return Fail(n.Name + " got block #" + std::to_string(counter) + " of " + nodes_[from].Name +
                    " whose send was refused");
    uint64_t& last = n.LastFrom[static_cast<int>(from)];
    if (counter <= last)
        return Fail(n.Name + " got block #" + std::to_string(counter) + " of " + nodes_[from].Name +
                    " after #" + std::to_string(last));
    last = counter;
    // In the order sent, with nothing left out before it.
    auto& expected = expect_[{static_cast<int>(from), node}];
    if (!expected.empty() && expected.front() < counter)
        Fail(n.Name + " got #" + std::to_string(counter) + " of " + nodes_[from].Name +
             " but never #" + std::to_string(expected.front()));
    while (!expected.empty() && expected.front() <= counter)
        expected.pop_front();
    n.Received.insert({static_cast<int>(from), counter});
    ++delivered_;
}

const TRoomSim::TAgreed* TRoomSim::ViewMade(int host, uint32_t view) const {
    auto it = made_.upper_bound({host, view});
    if (it == made_.begin()) return nullptr;
    --it;
    return it->first.first == host ? &it->second : nullptr;
}

uint32_t TRoomSim::RulePick(const TAgreed& view, uint32_t without) {
    std::vector<uint32_t> order;
    for (uint32_t id : view.Order)
        if (id != without) order.push_back(id);
    auto linked = [&](uint32_t a, uint32_t b) {
        auto la = view.Links.find(a), lb = view.Links.find(b);
        return la != view.Links.end() && la->second.count(b) && lb != view.Links.end() &&
               lb->second.count(a);
    };
    // Members linked to none of the others count neither way.
    std::set<uint32_t> reached;
    for (uint32_t a : order)
        for (uint32_t b : order)
            if (a != b && linked(a, b)) reached.insert(a);
    for (uint32_t c : order) {
        if (!reached.count(c)) continue;
        bool all = true;
        for (uint32_t o : reached)
            if (o != c && !linked(c, o)) all = false;
        if (all) return c;
    }
    return order.empty() ? 0 : order.front();
}

void TRoomSim::CheckAlways() {
    int listing = 0;
    std::string listers;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        TNode& n = nodes_[i];
        if (!n.Alive) continue;
        if (n.Core->IsHost())
            for (uint32_t id : n.Core->ViewIds())
                admitted_.emplace(id, admitted_.size());
        // A resumed process counts once it has run: until then it has not
        // had the chance to see that it was frozen.
        const bool running = !Paused(static_cast<int>(i)) && n.LastEvent >= n.FrozenUntil;
        if (n.Core->Listed()) {
            if (n.Core->State() != TRoomCore::InRoom) Fail(n.Name + " lists a room it is not in");
            // A hostile process may list whatever it likes; the guarantee is
            // that no honest process lists the room beside the real host.
            if (running && !n.Hostile) {
                ++listing;
                listers += " " + n.Name;
            }
        }
    }
    if (listing > 1) Fail("two processes list the room:" + listers);
    // Every view an honest host holds, links included: what the successor
    // rule is applied to by the members that took it. One it did not send
    // links with keeps the links of the one before among its members.
    for (size_t i = 0; i < nodes_.size(); ++i) {
        TNode& h = nodes_[i];
        if (!h.Alive || h.Hostile || !h.Core->IsHost()) continue;
        const int node = static_cast<int>(i);
        const uint32_t number = h.Core->ViewNumber();
        if (made_.count({node, number})) continue;
        TAgreed view;
        view.Order = h.Core->ViewIds();
        if (const TAgreed* before = ViewMade(node, number))
            for (uint32_t id : view.Order) {
                auto it = before->Links.find(id);
                if (it == before->Links.end()) continue;
                for (uint32_t o : it->second)
                    if (std::count(view.Order.begin(), view.Order.end(), o)) view.Links[id].insert(o);
            }
        made_.emplace(std::make_pair(node, number), std::move(view));
    }
    for (size_t i = 0; i < nodes_.size(); ++i) {
        TNode& n = nodes_[i];
        if (!n.Alive || n.Core->State() != TRoomCore::InRoom) continue;
        uint32_t own = n.Core->OwnId();
        auto ids = n.Core->ViewIds();
        if (own == 0 || std::count(ids.begin(), ids.end(), own) != 1)
            Fail(n.Name + " is not once in its own view");
        // A hostile member that the rule made this one's host admits whom it
        // likes: it is trusted with the room as any host is.
        if (IsHostileId(n.Core->HostId()))
            for (uint32_t id : ids)
                admitted_.emplace(id, admitted_.size());
        for (uint32_t id : ids) {
            if (id == 0) Fail(n.Name + " has id 0 in its view");
            if (!admitted_.count(id)) Fail(n.Name + " holds a member no host admitted");
        }
        for (uint32_t id : n.Core->DirectPeers()) {
            if (std::find(ids.begin(), ids.end(), id) == ids.end() || id == own)
                Fail(n.Name + " is linked to a non-member");
            n.EverLinked.insert(id);
        }
        // A new host, honest or hostile: the one the rule picks from the
        // last view this member took from its honest host.
        uint32_t host = n.Core->HostId();
        if (host != n.LastHost && host != 0) {
            int hn = NodeOfId(host);
            if (hn < 0) {
                Fail(n.Name + " follows a host no host admitted");
            } else if (!n.Hostile && n.LastHost != 0 && n.LastHost != host &&
                       n.HeldFrom >= 0 && n.HeldFrom == NodeOfId(n.LastHost) &&
                       ViewMade(n.HeldFrom, n.HeldView)) {
                // From the last view it took from its honest host: views made
                // while it was cut off from that host never reached it.
                uint32_t pick = RulePick(*ViewMade(n.HeldFrom, n.HeldView), n.LastHost);
                if (pick != host) {
                    int pn = NodeOfId(pick);
                    Fail(n.Name + " follows " + nodes_[hn].Name + " as host; the rule picks " +
                         (pn >= 0 ? nodes_[pn].Name : std::to_string(pick)));
                }
            }
            n.LastHost = host;
        }
        // Views reach members after their host made them, even after it left.
        if (int hn = NodeOfId(host);
            hn >= 0 && !nodes_[hn].Hostile && ViewMade(hn, n.Core->ViewNumber())) {
            n.HeldFrom = hn;
            n.HeldView = n.Core->ViewNumber();
        }
    }
}

void TRoomSim::Sniff(int node, const p2::TFrame& frame) {
    if (!frame || frame->size() < 5) return;
    TLoot& loot = nodes_[node].Loot;
    const uint8_t type = (*frame)[4];
    const uint8_t* body = frame->data() + 5;
    const size_t size = frame->size() - 5;
    auto keep = [&](const std::vector<p2::TViewEntry>& members) {
        for (auto& e : members)
            loot.Entries[e.Id] = e;
    };
    if (type == p2::WELCOME) {
        if (auto m = p2::DecodeWelcome(body, size)) {
            keep(m->View.Members);
            for (size_t i = 0; i < m->View.Members.size() && i < m->Secrets.size(); ++i)
                loot.Secrets[m->View.Members[i].Id] = m->Secrets[i];
        }
    } else if (type == p2::MEMBER_ADDED) {
        if (auto m = p2::DecodeMemberAdded(body, size)) {
            loot.Entries[m->Member.Id] = m->Member;
            loot.Secrets[m->Member.Id] = m->Secret;
        }
    } else if (type == p2::NEW_HOST) {
        if (auto m = p2::DecodeNewHost(body, size)) keep(m->Members);
    }
    if (type != p2::PING && frame->size() < (64u << 10)) {
        loot.Seen.push_back(frame);
        if (loot.Seen.size() > 32) loot.Seen.pop_front();
    }
}

int TRoomSim::OpenLinkTo(int from, int to) const {
    for (auto& [id, link] : nodes_[from].Links) {
        const TLink& l = links_[link];
        int side = l.End[0].Node == from && l.End[0].Id == id ? 0 : 1;
        if (l.End[1 - side].Node == to && l.End[side].Open && l.End[1 - side].Open && !l.Broken)
            return link;
    }
    return -1;
}

int TRoomSim::RandomPeerLink(int node) {
    std::vector<int> open;
    for (auto& [id, link] : nodes_[node].Links) {
        const TLink& l = links_[link];
        int side = l.End[0].Node == node && l.End[0].Id == id ? 0 : 1;
        int other = l.End[1 - side].Node;
        if (other >= 0 && other != node && nodes_[other].Alive && l.End[side].Open &&
            l.End[1 - side].Open && !l.Broken)
            open.push_back(link);
    }
    return open.empty() ? -1 : open[rng_() % open.size()];
}

void TRoomSim::Inject(int node, int link, p2::TFrame frame) {
    if (link < 0 || !frame) return;
    TLink& l = links_[link];
    int side = l.End[0].Node == node ? 0 : 1;
    if (l.End[side].Node != node) return;
    ++forged_;
    Log(nodes_[node].Name + " forges type " + std::to_string((*frame)[4]) + " to " +
        (l.End[1 - side].Node >= 0 ? nodes_[l.End[1 - side].Node].Name : "?"));
    Push(link, 1 - side, TItem{Frame, 0, std::move(frame), node});
}

void TRoomSim::Impersonate(int node, int target, uint32_t as, const p2::TSecret& secret) {
    TNode& t = nodes_[target];
    if (!t.Alive || t.Nat || !Connected(node, target) || target == node) return;
    int claimed = NodeOfId(as);
    Log(nodes_[node].Name + " introduces itself to " + t.Name + " as " +
        (claimed >= 0 ? nodes_[claimed].Name : std::to_string(as)));
    int index = static_cast<int>(links_.size());
    links_.push_back(TLink{});
    TLink& l = links_[index];
    l.End[0].Node = -1; // what the target writes back is not read
    l.End[1].Node = target;
    l.End[1].Id = ++nextAccepted_;
    l.Source = nodes_[node].Address;
    ++forged_;
    Push(index, 1,
         TItem{Accept, 0, p2::EncodePeerHello({instance_, t.Core->OwnId(), as, secret}), node});
    // Lines "from" the member it claims to be.
    int lines = 1 + static_cast<int>(rng_() % 6);
    for (int i = 0; i < lines; ++i) {
        auto b = Block(static_cast<uint32_t>(std::max(claimed, 0)), (1ull << 40) + i, kForged, 20);
        Push(index, 1,
             TItem{Frame, 0, p2::EncodeData(1 + i, b->data(), static_cast<uint32_t>(b->size())),
                   node});
    }
}

void TRoomSim::Attack(int node, int kind) {
    TNode& h = nodes_[node];
    if (!InRoom(node) || Paused(node) || h.Core->IsHost() || quiet_) return;
    TRoomCore& core = *h.Core;
    const uint32_t own = core.OwnId();
    const uint32_t view = core.ViewNumber();
    auto order = core.ViewIds();
    std::vector<uint32_t> others;
    for (uint32_t id : order)
        if (id != own) others.push_back(id);
    if (others.empty()) return;
    auto anyOther = [&] { return others[rng_() % others.size()]; };
    int link = RandomPeerLink(node);
    int hostNode = NodeOfId(core.HostId());
    auto forgedData = [&](uint32_t as, uint64_t seq) {
        int claimed = NodeOfId(as);
        auto b = Block(static_cast<uint32_t>(std::max(claimed, 0)), (1ull << 41) + rng_() % 1000,
                       kForged, 20);
        return p2::EncodeData(seq, b->data(), static_cast<uint32_t>(b->size()));
    };
    switch (kind) {
    case 0:
        return Inject(node, link, p2::EncodeEmpty(p2::REMOVED));
    case 1:
        return Inject(node, link, p2::EncodeMemberRemoved({view + 1, anyOther(), rng_() % 2 == 0}));
    case 2: {
        p2::TMemberAdded m;
        m.View = view + 1;
        m.Member.Id = static_cast<uint32_t>(rng_() | 1);
        m.Member.JoinNumber = 1000 + static_cast<uint32_t>(rng_() % 1000);
        m.Member.Address = h.Address;
        m.Member.Port = 1;
        m.Member.Name = "ghost";
        for (auto& b : m.Secret)
            b = static_cast<uint8_t>(rng_());
        return Inject(node, link, p2::EncodeMemberAdded(m));
    }
    case 3: {
        p2::TLinkView m;
        m.View = view + 1;
        for (size_t i = 0; i < order.size(); ++i)
            m.Masks.push_back(rng_() & ~(uint64_t(1) << i) & ((uint64_t(1) << order.size()) - 1));
        return Inject(node, link, p2::EncodeLinkView(m));
    }
    case 4: {
        // Claims the room, linked to everyone, from a view ahead of the others.
        p2::TViewMessage m;
        m.View = view + 1 + static_cast<uint32_t>(rng_() % 3);
        m.HostId = own;
        for (uint32_t id : order) {
            auto it = h.Loot.Entries.find(id);
            if (it == h.Loot.Entries.end()) return;
            p2::TViewEntry e = it->second;
            e.Links.clear();
            for (uint32_t o : order)
                if (o != id && (id == own || o == own)) e.Links.insert(o);
            m.Members.push_back(e);
        }
        std::sort(m.Members.begin(), m.Members.end(),
                  [](auto& a, auto& b) { return a.JoinNumber < b.JoinNumber; });
        auto frame = p2::EncodeNewHost(m);
        for (auto& [id, l] : std::map<TLinkId, int>(h.Links))
            if (int to =
                    links_[l].End[0].Node == node ? links_[l].End[1].Node : links_[l].End[0].Node;
                to >= 0 && to != hostNode)
                Inject(node, l, frame);
        return;
    }
    case 5:
        return Inject(node, link, p2::EncodeHostAck(view + static_cast<uint32_t>(rng_() % 3)));
    case 6: {
        // Links to everyone, whatever it has.
        if (hostNode < 0) return;
        std::set<uint32_t> all(others.begin(), others.end());
        all.erase(core.HostId());
        return Inject(node, OpenLinkTo(node, hostNode),
                      p2::EncodeLinks({view, p2::MaskOf(all, order)}));
    }
    case 7: {
        // Through the host, claiming to be someone else inside.
        if (hostNode < 0) return;
        uint32_t to = anyOther(), as = anyOther();
        auto inner = forgedData(as, 1 + rng_() % 40);
        return Inject(node, OpenLinkTo(node, hostNode),
                      p2::EncodeRelay(to, p2::DATA, inner->data() + 5, inner->size() - 5));
    }
    case 8: {
        // A relay from a member that is not the host.
        uint32_t as = anyOther();
        auto inner = forgedData(as, 1 + rng_() % 40);
        return Inject(node, link,
                      p2::EncodeRelay(as, p2::DATA, inner->data() + 5, inner->size() - 5));
    }
    case 9:
        return Inject(node, link, forgedData(anyOther(), 1 + rng_() % 100));
    case 10:
        return Inject(node, link, p2::EncodeAck(1 + rng_() % 100000));
    case 11: {
        // Introduces itself as another member with a secret it was given.
        uint32_t as = anyOther(), to = anyOther();
        if (as == to) return;
        auto ea = h.Loot.Entries.find(as), et = h.Loot.Entries.find(to);
        if (ea == h.Loot.Entries.end() || et == h.Loot.Entries.end()) return;
        uint32_t later = ea->second.JoinNumber > et->second.JoinNumber ? as : to;
        auto secret = h.Loot.Secrets.find(later);
        if (secret == h.Loot.Secrets.end()) return;
        int target = NodeOfId(to);
        if (target >= 0) Impersonate(node, target, as, secret->second);
        return;
    }
    case 12:
        if (h.Loot.Seen.empty()) return;
        return Inject(node, link, h.Loot.Seen[rng_() % h.Loot.Seen.size()]);
    default: {
        // Big relayed blocks through the host at one member, as fast as the
        // links take them, whether or not it reads.
        if (!options_.Floods || hostNode < 0) return;
        int l = OpenLinkTo(node, hostNode);
        if (l < 0) return;
        uint32_t to = anyOther();
        if (to == core.HostId()) return;
        Log(h.Name + " floods " + std::to_string(NodeOfId(to)) + " through the host");
        for (int i = 0; i < 20; ++i) {
            auto inner = forgedData(to, 1000 + i);
            std::vector<uint8_t> body(8 + proto::kMaxBlock);
            std::memcpy(body.data(), inner->data() + 5, inner->size() - 5);
            Inject(node, l, p2::EncodeRelay(to, p2::DATA, body.data(), body.size()));
        }
        return;
    }
    }
}

void TRoomSim::Storm(int target) {
    if (!InRoom(target)) return;
    Log("a storm of strangers at " + nodes_[target].Name);
    for (int i = 0; i < 40; ++i)
        Hostile(target, 0, true);
    // A stranger costs a bounded number of links, however many come.
    At(now_ + 1000, [this, target] {
        if (!InRoom(target)) return;
        size_t held = 0;
        for (auto& [id, link] : nodes_[target].Links)
            held += links_[link].Stranger;
        if (held > room::kMaxHeldIntroductions + room::kMaxPendingJoins)
            Fail(nodes_[target].Name + " holds " + std::to_string(held) + " links of strangers");
    });
}

void TRoomSim::Hostile(int target, int kind, bool hold) {
    TNode& t = nodes_[target];
    if (!t.Alive || t.Core->State() != TRoomCore::InRoom) return;
    Log("hostile peer " + std::to_string(kind) + " at " + t.Name);
    int index = static_cast<int>(links_.size());
    links_.push_back(TLink{});
    TLink& l = links_[index];
    l.Stranger = true;
    l.End[0].Node = -1;
    l.End[1].Node = target;
    l.End[1].Id = ++nextAccepted_;
    l.Source = TNetAddress::FromIpv4(0xC0A80000u + static_cast<uint32_t>(rng_() % 65536));
    auto players = t.Core->Players();
    uint32_t known = players.empty() ? 7 : players[rng_() % players.size()].Id;
    p2::TSecret secret{};
    for (auto& b : secret)
        b = static_cast<uint8_t>(rng_());
    p2::TFrame request;
    switch (kind % 4) {
    case 0: // someone who learned ids: introduction without admission
        request = p2::EncodePeerHello(
            {instance_, t.Core->OwnId(), static_cast<uint32_t>(rng_() | 1), secret});
        break;
    case 1: // an existing member's id with a guessed secret
        request = p2::EncodePeerHello({instance_, t.Core->OwnId(), known, secret});
        break;
    case 2:
        request = proto::EncodeJoinRequest(instance_);
        break;
    default:
        request = p2::EncodePeerHello({instance_, t.Core->OwnId(), t.Core->OwnId(), secret});
        break;
    }
    Push(index, 1, TItem{Accept, 0, request});
    if (hold) return; // says nothing more, and keeps the link
    auto block = Block(0, 0, kHostile, 13);
    for (int i = 0; i < 4; ++i) {
        p2::TFrame f;
        switch (rng_() % 6) {
        case 0:
            f = p2::EncodeData(1 + i, block->data(), 13);
            break;
        case 1: {
            auto inner = p2::EncodeData(1 + i, block->data(), 13);
            f = p2::EncodeRelay(known, p2::DATA, inner->data() + 5, inner->size() - 5);
            break;
        }
        case 2:
            f = p2::EncodeMemberRemoved({1000, t.Core->OwnId()});
            break;
        case 3:
            f = p2::EncodeEmpty(p2::REMOVED);
            break;
        case 4: {
            p2::TMemberAdded added;
            added.View = 1000;
            added.Member.Id = static_cast<uint32_t>(rng_() | 1);
            f = p2::EncodeMemberAdded(added);
            break;
        }
        default:
            f = p2::EncodeEmpty(p2::DATA); // an empty DATA frame
            break;
        }
        Push(index, 1, TItem{Frame, 0, f});
    }
}

void TRoomSim::Quiet() {
    // Every freeze, partition and lag ends, then nothing happens for longer
    // than removal and succession take.
    quiet_ = true;
    int64_t until = std::max(now_, partUntil_);
    for (const TNode& n : nodes_)
        until = std::max({until, n.FrozenUntil, n.LagUntil});
    RunFor(until - now_ + 45000);
    std::vector<int> inRoom, honest;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        const TNode& n = nodes_[i];
        if (!n.Alive) continue;
        auto state = n.Core->State();
        if (state == TRoomCore::InRoom) {
            inRoom.push_back(static_cast<int>(i));
            if (!n.Hostile) honest.push_back(static_cast<int>(i));
        }
        if (state == TRoomCore::Opening || state == TRoomCore::Opened ||
            state == TRoomCore::Entering)
            Fail(n.Name + " is still entering after the quiet");
        if (state == TRoomCore::Lost && n.Entered && n.LostNotices != 1)
            Fail(n.Name + " lost the room without being told");
        if (state == TRoomCore::InRoom && n.LostNotices)
            Fail(n.Name + " carries on after being told the session is lost");
        // Nothing went wrong but one member's misbehaviour: everyone else stays.
        if (hostileOnly_ && !faults_ && !n.Hostile && n.Entered &&
            !leftCleanly_.count(static_cast<int>(i)) && state != TRoomCore::InRoom)
            Fail(n.Name + " is out of the room, though only a hostile member misbehaved");
    }
    if (honest.empty()) return;
    std::vector<uint32_t> expected;
    for (int i : honest)
        expected.push_back(nodes_[i].Core->OwnId());
    std::sort(expected.begin(), expected.end());
    auto reference = nodes_[honest[0]].Core->ViewIds();
    std::sort(reference.begin(), reference.end());
    int hosts = 0;
    for (int i : inRoom)
        hosts += nodes_[i].Core->IsHost() && !nodes_[i].Hostile;
    for (int i : honest) {
        TRoomCore& core = *nodes_[i].Core;
        auto ids = core.ViewIds();
        std::sort(ids.begin(), ids.end());
        std::vector<uint32_t> honestIds;
        for (uint32_t id : ids)
            if (!IsHostileId(id)) honestIds.push_back(id);
        if (honestIds != expected || ids != reference) {
            std::ostringstream s;
            s << nodes_[i].Name << " holds view " << core.ViewNumber() << " of " << ids.size()
              << " members; " << expected.size() << " honest ones are in the room";
            Fail(s.str());
        }
        std::set<uint32_t> players;
        for (auto& p : core.Players())
            players.insert(p.Id);
        if (players != nodes_[i].Roster)
            Fail(nodes_[i].Name + "'s notices do not add up to its player list");
        if (core.ViewNumber() != nodes_[honest[0]].Core->ViewNumber())
            Fail(nodes_[i].Name + " holds another view number");
    }
    // A hostile member the rule picked may host the honest ones; then none of them does.
    const bool hostileHost = !honest.empty() && IsHostileId(nodes_[honest[0]].Core->HostId());
    if (hosts != (hostileHost ? 0 : 1))
        Fail("after the quiet the room has " + std::to_string(hosts) + " hosts");
    std::set<int> stayed(honest.begin(), honest.end());
    for (const TSent& s : sent_) {
        if (!stayed.count(s.From) && (faults_ || !leftCleanly_.count(s.From) || !options_.Leavers))
            continue;
        for (int r : s.To)
            if (stayed.count(r) && !nodes_[r].Received.count({s.From, s.Counter}))
                Fail(nodes_[r].Name + " never got #" + std::to_string(s.Counter) + " of " +
                     nodes_[s.From].Name);
    }
}

void TRoomSim::Story() {
    // Floods and bursts against members that do not read or answer for a while.
    std::vector<int> members;
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (InRoom(static_cast<int>(i)) && !Paused(static_cast<int>(i)) && !nodes_[i].Hostile)
            members.push_back(static_cast<int>(i));
    int host = Lister();
    if (members.size() < 2 || host < 0) return;
    std::shuffle(members.begin(), members.end(), rng_);
    faults_ = true;
    switch (rng_() % 5) {
    case 4: {
        // A newcomer while the other members are silent for a while: in a
        // room of two the silent one can never go on alone, so the host
        // can admit without it.
        Log("story: a newcomer while the members are silent");
        for (int m : members)
            if (m != host) Freeze(m, 7000, rng_() % 2 == 0);
        int joiner = AddNode(false);
        JoinRoom(joiner, host);
        break;
    }
    case 0: {
        // A paste of big lines while another member's reader is busy.
        int sender = members[0], slow = members[1];
        Log("story: " + nodes_[sender].Name + " pastes while " + nodes_[slow].Name + " lags");
        Lag(slow, 2000 + int64_t(rng_() % 3000));
        At(now_ + 100, [this, sender] { Burst(sender, 150, 1u << 20); });
        break;
    }
    case 1: {
        // Two members send big blocks at one that lags, through the host.
        if (members.size() < 3) return;
        int slow = -1;
        for (int m : members)
            if (nodes_[m].Nat && m != host) slow = m;
        if (slow < 0) return;
        Log("story: big blocks through the host at " + nodes_[slow].Name + ", which lags");
        Lag(slow, 2000 + int64_t(rng_() % 2000));
        uint32_t to = nodes_[slow].Core->OwnId();
        for (int m : members)
            if (m != slow)
                At(now_ + 100, [this, m, to] {
                    for (int i = 0; i < 17; ++i)
                        SendBlock(m, to, proto::kMaxBlock);
                });
        break;
    }
    default: {
        // A newcomer behind NAT joins while every member but the host and
        // one that talks a lot does not answer.
        int sender = -1;
        for (int m : members)
            if (m != host) sender = m;
        if (sender < 0 || members.size() < 3) return;
        Log("story: a newcomer joins while the others are frozen; " + nodes_[sender].Name +
            " talks");
        for (size_t m = 0; m < nodes_.size(); ++m)
            if (static_cast<int>(m) != host && static_cast<int>(m) != sender &&
                InRoom(static_cast<int>(m)))
                Freeze(static_cast<int>(m), 3000, rng_() % 2 == 0);
        int joiner = AddNode(true);
        NeverConnect(joiner, sender);
        JoinRoom(joiner, host);
        At(now_ + 300, [this, sender] { Burst(sender, 1500, 0); });
        if (options_.Hostile)
            for (size_t i = 0; i < nodes_.size(); ++i)
                if (nodes_[i].Hostile) {
                    // Big relays at the newcomer while its welcome waits.
                    int h = static_cast<int>(i);
                    At(now_ + 400, [this, h, joiner] {
                        int hostNode = NodeOfId(nodes_[h].Core->HostId());
                        if (!InRoom(h) || hostNode < 0) return;
                        int l = OpenLinkTo(h, hostNode);
                        uint32_t to = 0;
                        for (auto& [id, who] : idNode_)
                            if (who == joiner) to = id;
                        if (l < 0 || !to) return;
                        for (int k = 0; k < 36; ++k) {
                            std::vector<uint8_t> body(8 + proto::kMaxBlock);
                            uint64_t seq = 1 + k;
                            std::memcpy(body.data(), &seq, 8);
                            body[8 + 12] = kForged;
                            Inject(h, l, p2::EncodeRelay(to, p2::DATA, body.data(), body.size()));
                        }
                    });
                }
        break;
    }
    }
}

void TRoomSim::RunSchedule() {
    const bool hostileRun = options_.Hostile && rng_() % 100 < 60;
    // Half of those have nothing else going wrong: then no honest member may
    // lose the room at all.
    hostileOnly_ = hostileRun && rng_() % 2 == 0;
    bool story = options_.Floods && rng_() % 100 < 25;
    int initial = 2 + static_cast<int>(rng_() % 4);
    if (hostileRun) initial = std::max(initial, 3);
    if (story && rng_() % 5) initial = std::max(initial, 4 + (hostileRun ? 1 : 0));
    int hostile = hostileRun ? 1 + static_cast<int>(rng_() % (initial - 1)) : -1;
    uint32_t limits[] = {0, 10, 4};
    AddNode(false);
    for (int i = 1; i < initial; ++i)
        AddNode(!hostileOnly_ && rng_() % 100 < 35, i == hostile);
    for (int a = 1; a < initial; ++a)
        for (int b = a + 1; b < initial; ++b)
            if (!hostileOnly_ && rng_() % 100 < 15) NeverConnect(a, b);
    CreateRoom(0, limits[rng_() % 3]);
    for (int i = 1; i < initial; ++i) {
        int node = i;
        At(100 + int64_t(rng_() % 2000), [this, node] { JoinRoom(node, 0); });
    }
    RunFor(2500);
    int extra = 0;
    int64_t storyAt = 4000 + int64_t(rng_() % 15000);
    // A quarter of the schedules has only joins, leaves and texts: there
    // every block sent must arrive, a leaver's last ones included.
    const bool calm = !hostileRun && rng_() % 4 == 0;
    while (now_ < 25000) {
        RunFor(100 + int64_t(rng_() % 600));
        if (story && now_ >= storyAt) {
            story = false;
            Story();
        }
        // A hostile member waits for a story: it is to take part in it.
        if (hostile >= 0 && !story && rng_() % 2 == 0)
            Attack(hostile, static_cast<int>(rng_() % kAttackKinds));
        int node = static_cast<int>(rng_() % nodes_.size());
        int other = static_cast<int>(rng_() % nodes_.size());
        int roll = static_cast<int>(rng_() % 100);
        if (calm && roll >= 72) roll = static_cast<int>(rng_() % 55);
        if (hostileOnly_ && roll >= 69) roll = static_cast<int>(rng_() % 69);
        if (roll < 55) {
            // Now and then a big block, up to the largest a room carries.
            size_t size = 0;
            if (rng_() % 400 == 0)
                size = rng_() % 2 ? proto::kMaxBlock : (64u << 10) + rng_() % proto::kMaxBlock;
            size = std::min<size_t>(size, proto::kMaxBlock);
            SendBlock(node, 0, size);
        } else if (roll < 63) {
            auto players =
                InRoom(node) ? nodes_[node].Core->Players() : std::vector<TRoomCore::TPlayer>{};
            if (!players.empty()) SendBlock(node, players[rng_() % players.size()].Id);
        } else if (roll < 69) {
            if (extra < 3) {
                ++extra;
                int joiner = AddNode(!hostileOnly_ && rng_() % 100 < 35);
                int host = Lister();
                JoinRoom(joiner, host >= 0 ? host : 0);
            }
        } else if (roll < 72) {
            Leave(node);
        } else if (roll < 75) {
            Kill(node);
        } else if (roll < 79) {
            Freeze(node, 1000 + int64_t(rng_() % 14000), rng_() % 2 == 0);
        } else if (roll < 83) {
            // Any part of the room, the host's side a minority or not.
            std::set<int> side;
            for (size_t i = 0; i < nodes_.size(); ++i)
                if (rng_() % 2 == 0) side.insert(static_cast<int>(i));
            if (side.empty()) side.insert(node);
            if (side.size() == nodes_.size()) side.erase(node);
            PartitionSet(side, 1000 + int64_t(rng_() % 14000));
        } else if (roll < 85) {
            Lag(node, 1000 + int64_t(rng_() % 6000));
        } else if (roll < 92) {
            if (node != other) BreakLink(node, other);
        } else if (rng_() % 8 == 0) {
            Storm(node);
        } else {
            Hostile(node, static_cast<int>(rng_() % 4));
        }
    }
    Quiet();
}

} // namespace simtest
