#include "RoomSim.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>

namespace simtest {

using namespace dplay;
namespace p2 = dplay::proto2;

namespace {

constexpr int64_t kTickMs = 250;
constexpr uint8_t kHonest = 0x5A;
constexpr uint8_t kHostile = 0xEE;

std::vector<uint8_t> Bytes(const p2::TFrame& frame) {
    return frame ? *frame : std::vector<uint8_t>{};
}

} // namespace

TRoomSim::TRoomSim(uint64_t seed, bool trace) : rng_(seed), traceOn_(trace) {
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

int TRoomSim::AddNode(bool nat) {
    int index = static_cast<int>(nodes_.size());
    TNode node;
    node.Core = std::make_unique<TRoomCore>(rng_());
    node.Ipv4 = 0x0A000001u + static_cast<uint32_t>(index);
    node.Nat = nat;
    node.Name = "m" + std::to_string(index);
    nodes_.push_back(std::move(node));
    At(now_ + int64_t(rng_() % kTickMs), [this, index] { Tick(index); });
    return index;
}

void TRoomSim::Tick(int node) {
    TNode& n = nodes_[node];
    if (!n.Alive) return;
    if (Paused(node)) return At(n.FrozenUntil, [this, node] { Tick(node); });
    n.Core->OnTick(now_);
    Apply(node);
    CheckAlways();
    At(now_ + kTickMs, [this, node] { Tick(node); });
}

void TRoomSim::CreateRoom(int node, uint32_t maxPlayers) {
    proto::TRoomInfo room;
    room.Application = application_;
    room.Instance = instance_;
    room.MaxPlayers = maxPlayers;
    room.Name = "room";
    nodes_[node].Core->Create(now_, room);
    Apply(node);
    CheckAlways();
}

void TRoomSim::JoinRoom(int node, int hostNode) {
    if (Paused(node)) return;
    Log(nodes_[node].Name + " joins at " + nodes_[hostNode].Name);
    nodes_[node].Core->Join(now_, nodes_[hostNode].Ipv4, 1, application_, instance_);
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

int TRoomSim::Lister() const {
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].Alive && nodes_[i].Core->Listed()) return static_cast<int>(i);
    return -1;
}

bool TRoomSim::SendBlock(int node, uint32_t to) {
    TNode& n = nodes_[node];
    if (Paused(node) || !InRoom(node)) return false;
    uint64_t counter = ++n.Counter;
    std::vector<uint8_t> block(13 + rng_() % 200);
    uint32_t from = static_cast<uint32_t>(node);
    std::memcpy(block.data(), &from, 4);
    std::memcpy(block.data() + 4, &counter, 8);
    block[12] = kHonest;
    TSent sent{node, counter, {}};
    if (to == 0) {
        for (auto& p : n.Core->Players())
            if (int r = NodeOfId(p.Id); r >= 0) sent.To.insert(r);
    } else if (int r = NodeOfId(to); r >= 0) {
        sent.To.insert(r);
    }
    auto result = n.Core->Send(now_, to, block.data(), block.size());
    if (result == TRoomCore::SendOk) sent_.push_back(sent);
    Log(n.Name + " sends #" + std::to_string(counter) + " to " + std::to_string(to) + " result " +
        std::to_string(result));
    Apply(node);
    CheckAlways();
    return result == TRoomCore::SendOk;
}

void TRoomSim::Leave(int node) {
    if (Paused(node)) return;
    Log(nodes_[node].Name + " leaves");
    if (InRoom(node)) leftCleanly_.insert(node);
    nodes_[node].Core->Leave(now_);
    Apply(node);
    CheckAlways();
}

void TRoomSim::Kill(int node) {
    TNode& n = nodes_[node];
    if (!n.Alive) return;
    Log(n.Name + " killed");
    faults_ = true;
    n.Alive = false;
    // The system closes its sockets: what was written still goes, then the end.
    for (auto& [id, link] : n.Links) {
        TLink& l = links_[link];
        int side = l.End[0].Node == node && l.End[0].Id == id ? 0 : 1;
        if (!l.End[side].Open) continue;
        l.End[side].Open = false;
        Push(link, 1 - side, TItem{Eof, 0, {}});
    }
    n.Links.clear();
    n.Timers.clear();
    CheckAlways();
}

void TRoomSim::Freeze(int node, int64_t forMs) {
    if (!nodes_[node].Alive || Paused(node)) return;
    Log(nodes_[node].Name + " frozen for " + std::to_string(forMs));
    faults_ = true;
    nodes_[node].FrozenUntil = now_ + forMs;
}

void TRoomSim::Partition(int node, int64_t forMs) {
    Log(nodes_[node].Name + " cut off for " + std::to_string(forMs));
    faults_ = true;
    nodes_[node].PartitionedUntil = std::max(nodes_[node].PartitionedUntil, now_ + forMs);
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
            l.End[0].In.clear();
            l.End[1].In.clear();
            return;
        }
    }
}

void TRoomSim::Dial(int node, TLinkId id, uint32_t ipv4, const p2::TFrame& request) {
    int target = -1;
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].Ipv4 == ipv4) target = static_cast<int>(i);
    int index = static_cast<int>(links_.size());
    links_.push_back(TLink{});
    TLink& l = links_[index];
    l.End[0].Node = node;
    l.End[0].Id = id;
    l.SourceIpv4 = nodes_[node].Ipv4;
    nodes_[node].Links[id] = index;
    bool blocked = target >= 0 && blocked_.count({std::min(node, target), std::max(node, target)});
    bool ok = target >= 0 && target != node && nodes_[target].Alive && !nodes_[target].Nat &&
              !blocked && !Paused(target) && now_ >= nodes_[node].PartitionedUntil &&
              now_ >= nodes_[target].PartitionedUntil;
    if (!ok) {
        l.Broken = true;
        At(now_ + Delay() * 20, [this, node, id, index] {
            TNode& n = nodes_[node];
            auto it = n.Links.find(id);
            if (it == n.Links.end() || it->second != index || !n.Alive) return;
            if (Paused(node)) return; // the shell reports it when it runs; a tick ends it anyway
            n.Links.erase(it);
            n.Core->OnLinkEnded(now_, id, TCoreLinkEnd::Failed);
            Apply(node);
            CheckAlways();
        });
        return;
    }
    l.End[1].Node = target;
    l.End[1].Id = ++nextAccepted_;
    Push(index, 1, TItem{Accept, 0, Bytes(request)});
    Push(index, 0, TItem{Up, 0, {}});
}

void TRoomSim::Push(int link, int toSide, TItem item) {
    TLink& l = links_[link];
    TEnd& end = l.End[toSide];
    if (l.Broken || !end.Open) return;
    item.At = now_ + Delay();
    if (!end.In.empty()) item.At = std::max(item.At, end.In.back().At);
    end.In.push_back(std::move(item));
    if (!end.Scheduled) {
        end.Scheduled = true;
        At(end.In.front().At, [this, link, toSide] { Pump(link, toSide); });
    }
}

void TRoomSim::Pump(int link, int side) {
    TEnd* end = &links_[link].End[side];
    end->Scheduled = false;
    int node = end->Node;
    while (!end->In.empty() && end->In.front().At <= now_) {
        if (links_[link].Broken || !end->Open || node < 0 || !nodes_[node].Alive) {
            end->In.clear();
            return;
        }
        int other = links_[link].End[1 - side].Node;
        int64_t resume = nodes_[node].FrozenUntil;
        resume = std::max(resume, nodes_[node].PartitionedUntil);
        if (other >= 0) resume = std::max(resume, nodes_[other].PartitionedUntil);
        if (resume > now_) {
            end->Scheduled = true;
            At(resume, [this, link, side] { Pump(link, side); });
            return;
        }
        TItem item = std::move(end->In.front());
        end->In.pop_front();
        TRoomCore& core = *nodes_[node].Core;
        const uint8_t* body = item.Bytes.size() > 5 ? item.Bytes.data() + 5 : nullptr;
        size_t size = item.Bytes.size() > 5 ? item.Bytes.size() - 5 : 0;
        uint8_t type = item.Bytes.size() > 4 ? item.Bytes[4] : 0;
        switch (item.Kind) {
        case Accept:
            nodes_[node].Links[end->Id] = link;
            core.OnLinkAccepted(now_, end->Id, links_[link].SourceIpv4, type, body, size);
            break;
        case Up:
            core.OnLinkUp(now_, end->Id);
            break;
        case Frame:
            core.OnFrame(now_, end->Id, type, body, size);
            break;
        case Eof:
            end->Open = false;
            nodes_[node].Links.erase(end->Id);
            core.OnLinkEnded(now_, end->Id, TCoreLinkEnd::Closed);
            break;
        }
        Apply(node);
        CheckAlways();
        end = &links_[link].End[side]; // links_ may have grown
    }
    if (!end->In.empty() && !end->Scheduled) {
        end->Scheduled = true;
        At(end->In.front().At, [this, link, side] { Pump(link, side); });
    }
}

void TRoomSim::Apply(int node) {
    for (;;) {
        auto actions = nodes_[node].Core->TakeActions();
        if (actions.empty()) return;
        // What a batch leaves listed must be listed by the room's host.
        std::optional<bool> listing;
        for (const TCoreAction& a : actions) {
            TNode& n = nodes_[node];
            switch (a.Kind) {
            case TCoreAction::Dial:
                Dial(node, a.Link, a.Ipv4, a.Frame);
                break;
            case TCoreAction::Send:
            case TCoreAction::Close: {
                auto it = n.Links.find(a.Link);
                if (it == n.Links.end()) break;
                int link = it->second;
                TLink& l = links_[link];
                int side = l.End[0].Node == node && l.End[0].Id == a.Link ? 0 : 1;
                if (a.Frame) Push(link, 1 - side, TItem{Frame, 0, *a.Frame});
                if (a.Kind == TCoreAction::Close) {
                    Push(link, 1 - side, TItem{Eof, 0, {}});
                    links_[link].End[side].Open = false;
                    links_[link].End[side].In.clear();
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
                std::function<void()> fire;
                auto fn = std::make_shared<std::function<void()>>();
                *fn = [this, node, timer, fn] {
                    TNode& t = nodes_[node];
                    if (!t.Alive || !t.Timers.count(timer)) return;
                    if (Paused(node)) return At(t.FrozenUntil, *fn);
                    t.Timers.erase(timer);
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
                    n.Core->CreatePlayer(now_, n.Name, 1);
                } else if (a.Call == TCoreAction::CreatePlayer && a.Result == DP_OK) {
                    n.Entered = true;
                    idNode_[a.Id] = node;
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
                }
                break;
            }
        }
        if (traceOn_) {
            TRoomCore& c = *nodes_[node].Core;
            std::string v = std::to_string(c.State()) + "/" + std::to_string(c.ViewNumber()) +
                            "/host " + std::to_string(c.HostId()) + ":";
            for (uint32_t id : c.ViewIds())
                v += " " + std::to_string(NodeOfId(id));
            if (v != nodes_[node].LastView) Log(nodes_[node].Name + " view " + v);
            nodes_[node].LastView = v;
        }
        if (listing && *listing && !nodes_[node].Core->IsHost())
            Fail(nodes_[node].Name + " lists the room without being its host");
    }
}

void TRoomSim::OnDeliver(int node, const TCoreAction& a) {
    TNode& n = nodes_[node];
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
    if (from >= nodes_.size() || nodes_[from].Core->OwnId() != a.From)
        return Fail(n.Name + " got a block under the wrong sender");
    uint64_t& last = n.LastFrom[static_cast<int>(from)];
    if (counter <= last)
        return Fail(n.Name + " got block #" + std::to_string(counter) + " of " + nodes_[from].Name +
                    " after #" + std::to_string(last));
    last = counter;
    n.Received.insert({static_cast<int>(from), counter});
    ++delivered_;
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
        if (n.Core->Listed()) {
            if (n.Core->State() != TRoomCore::InRoom) Fail(n.Name + " lists a room it is not in");
            if (!Paused(static_cast<int>(i))) {
                ++listing;
                listers += " " + n.Name;
            }
        }
    }
    if (listing > 1) Fail("two processes list the room:" + listers);
    for (size_t i = 0; i < nodes_.size(); ++i) {
        TNode& n = nodes_[i];
        if (!n.Alive || n.Core->State() != TRoomCore::InRoom) continue;
        uint32_t own = n.Core->OwnId();
        auto ids = n.Core->ViewIds();
        if (own == 0 || std::count(ids.begin(), ids.end(), own) != 1)
            Fail(n.Name + " is not once in its own view");
        for (uint32_t id : ids) {
            if (id == 0) Fail(n.Name + " has id 0 in its view");
            if (!admitted_.count(id)) Fail(n.Name + " holds a member no host admitted");
        }
        for (uint32_t id : n.Core->DirectPeers())
            if (std::find(ids.begin(), ids.end(), id) == ids.end() || id == own)
                Fail(n.Name + " is linked to a non-member");
    }
}

void TRoomSim::Hostile(int target, int kind) {
    TNode& t = nodes_[target];
    if (!t.Alive || t.Core->State() != TRoomCore::InRoom) return;
    Log("hostile peer " + std::to_string(kind) + " at " + t.Name);
    int index = static_cast<int>(links_.size());
    links_.push_back(TLink{});
    TLink& l = links_[index];
    l.End[0].Node = -1;
    l.End[1].Node = target;
    l.End[1].Id = ++nextAccepted_;
    l.SourceIpv4 = 0xC0A80000u + static_cast<uint32_t>(rng_() % 65536);
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
    Push(index, 1, TItem{Accept, 0, Bytes(request)});
    std::vector<uint8_t> block(13, 0);
    block[12] = kHostile;
    for (int i = 0; i < 4; ++i) {
        p2::TFrame f;
        switch (rng_() % 6) {
        case 0:
            f = p2::EncodeData(1 + i, block.data(), 13);
            break;
        case 1: {
            auto inner = p2::EncodeData(1 + i, block.data(), 13);
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
        Push(index, 1, TItem{Frame, 0, *f});
    }
}

void TRoomSim::Quiet() {
    // Every freeze and partition ends, then nothing happens for longer than
    // removal and succession take.
    int64_t until = now_;
    for (const TNode& n : nodes_)
        until = std::max({until, n.FrozenUntil, n.PartitionedUntil});
    RunFor(until - now_ + 45000);
    std::vector<int> inRoom;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        const TNode& n = nodes_[i];
        if (!n.Alive) continue;
        auto state = n.Core->State();
        if (state == TRoomCore::InRoom) inRoom.push_back(static_cast<int>(i));
        if (state == TRoomCore::Opening || state == TRoomCore::Opened ||
            state == TRoomCore::Entering)
            Fail(n.Name + " is still entering after the quiet");
        if (state == TRoomCore::Lost && n.Entered && n.LostNotices != 1)
            Fail(n.Name + " lost the room without being told");
        if (state == TRoomCore::InRoom && n.LostNotices)
            Fail(n.Name + " carries on after being told the session is lost");
    }
    if (inRoom.empty()) return;
    std::vector<uint32_t> expected;
    for (int i : inRoom)
        expected.push_back(nodes_[i].Core->OwnId());
    std::sort(expected.begin(), expected.end());
    int hosts = 0;
    for (int i : inRoom) {
        TRoomCore& core = *nodes_[i].Core;
        auto ids = core.ViewIds();
        std::sort(ids.begin(), ids.end());
        if (ids != expected) {
            std::ostringstream s;
            s << nodes_[i].Name << " holds view " << core.ViewNumber() << " of " << ids.size()
              << " members; " << expected.size() << " are in the room";
            Fail(s.str());
        }
        std::set<uint32_t> players;
        for (auto& p : core.Players())
            players.insert(p.Id);
        if (players != nodes_[i].Roster)
            Fail(nodes_[i].Name + "'s notices do not add up to its player list");
        if (core.ViewNumber() != nodes_[inRoom[0]].Core->ViewNumber())
            Fail(nodes_[i].Name + " holds another view number");
        hosts += core.IsHost();
    }
    if (hosts != 1) Fail("after the quiet the room has " + std::to_string(hosts) + " hosts");
    std::set<int> stayed(inRoom.begin(), inRoom.end());
    for (const TSent& s : sent_) {
        if (!stayed.count(s.From) && (faults_ || !leftCleanly_.count(s.From))) continue;
        for (int r : s.To)
            if (stayed.count(r) && !nodes_[r].Received.count({s.From, s.Counter}))
                Fail(nodes_[r].Name + " never got #" + std::to_string(s.Counter) + " of " +
                     nodes_[s.From].Name);
    }
}

void TRoomSim::RunSchedule() {
    int initial = 2 + static_cast<int>(rng_() % 4);
    uint32_t limits[] = {0, 10, 4};
    AddNode(false);
    for (int i = 1; i < initial; ++i)
        AddNode(rng_() % 100 < 35);
    for (int a = 1; a < initial; ++a)
        for (int b = a + 1; b < initial; ++b)
            if (rng_() % 100 < 15) NeverConnect(a, b);
    CreateRoom(0, limits[rng_() % 3]);
    for (int i = 1; i < initial; ++i) {
        int node = i;
        At(100 + int64_t(rng_() % 2000), [this, node] { JoinRoom(node, 0); });
    }
    RunFor(2500);
    int extra = 0;
    // A quarter of the schedules has only joins, leaves and texts: there
    // every block sent must arrive, a leaver's last ones included.
    const bool calm = rng_() % 4 == 0;
    while (now_ < 25000) {
        RunFor(100 + int64_t(rng_() % 600));
        int node = static_cast<int>(rng_() % nodes_.size());
        int other = static_cast<int>(rng_() % nodes_.size());
        int roll = static_cast<int>(rng_() % 100);
        if (calm && roll >= 72) roll = static_cast<int>(rng_() % 55);
        if (roll < 55) {
            SendBlock(node, 0);
        } else if (roll < 63) {
            auto players =
                InRoom(node) ? nodes_[node].Core->Players() : std::vector<TRoomCore::TPlayer>{};
            if (!players.empty()) SendBlock(node, players[rng_() % players.size()].Id);
        } else if (roll < 69) {
            if (extra < 3) {
                ++extra;
                int joiner = AddNode(rng_() % 100 < 35);
                int host = Lister();
                JoinRoom(joiner, host >= 0 ? host : 0);
            }
        } else if (roll < 72) {
            Leave(node);
        } else if (roll < 75) {
            Kill(node);
        } else if (roll < 80) {
            Freeze(node, 1000 + int64_t(rng_() % 14000));
        } else if (roll < 84) {
            Partition(node, 1000 + int64_t(rng_() % 14000));
        } else if (roll < 92) {
            if (node != other) BreakLink(node, other);
        } else {
            Hostile(node, static_cast<int>(rng_() % 4));
        }
    }
    Quiet();
}

} // namespace simtest
