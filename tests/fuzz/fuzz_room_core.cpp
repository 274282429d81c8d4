// One room core driven by whatever the input says happens: links accepted
// with any request, frames well-formed or not on any link, links ending,
// timers firing (its own or made up), time passing, local sends. Checked
// after every event: the core writes only to links it holds, cancels only
// its own timers, keeps its links bounded, never holds id 0 or itself twice
// in its view, makes only the four local notices, and lists only as host.
#include "dplay/core/DPRoomCore.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

using namespace dplay;
namespace p2 = dplay::proto2;

namespace {

const TGuid kRoom = *TGuid::Parse("{11111111-2222-3333-4444-555555555555}");

struct TInput {
    const uint8_t* P;
    size_t Left;
    uint8_t Byte() {
        if (!Left) return 0;
        --Left;
        return *P++;
    }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(Byte()) << (8 * i);
        return v;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, Left);
        std::vector<uint8_t> v(P, P + n);
        P += n;
        Left -= n;
        return v;
    }
};

void Check(bool ok) {
    if (!ok) abort();
}

struct THarness {
    TRoomCore Core{7};
    int64_t Now = 1;
    std::set<TLinkId> Open;
    std::vector<TLinkId> Known;
    std::set<TTimerId> Timers;
    std::vector<TTimerId> SeenTimers;
    TLinkId NextAccepted = 1;

    void Take() {
        for (auto& a : Core.TakeActions()) {
            switch (a.Kind) {
            case TCoreAction::Dial:
                Check(!Open.count(a.Link) && a.Frame);
                Open.insert(a.Link);
                Known.push_back(a.Link);
                break;
            case TCoreAction::Send:
                Check(Open.count(a.Link) && a.Frame && a.Frame->size() >= 5);
                break;
            case TCoreAction::Close:
                Check(Open.count(a.Link));
                Open.erase(a.Link);
                break;
            case TCoreAction::SetTimer:
                Check(!Timers.count(a.Timer) && a.DelayMs > 0);
                Timers.insert(a.Timer);
                SeenTimers.push_back(a.Timer);
                break;
            case TCoreAction::CancelTimer:
                Check(Timers.erase(a.Timer) == 1);
                break;
            case TCoreAction::Deliver:
                if (a.From == 0) {
                    uint32_t type = 0;
                    Check(a.Bytes.size() >= 4);
                    std::memcpy(&type, a.Bytes.data(), 4);
                    Check(type == DPSYS_CREATEPLAYERORGROUP || type == DPSYS_DESTROYPLAYERORGROUP ||
                          type == DPSYS_SESSIONLOST || type == DPSYS_HOST);
                    if (type == DPSYS_CREATEPLAYERORGROUP) {
                        uint32_t id = 0;
                        std::memcpy(&id, a.Bytes.data() + 8, 4);
                        Check(id != 0 && id != Core.OwnId());
                    }
                }
                break;
            default:
                break;
            }
        }
        auto ids = Core.ViewIds();
        std::set<uint32_t> unique(ids.begin(), ids.end());
        Check(unique.size() == ids.size() && !unique.count(0));
        Check(ids.size() <= Core.Limit());
        if (Core.State() == TRoomCore::InRoom) Check(unique.count(Core.OwnId()) == 1);
        if (Core.Listed()) Check(Core.IsHost());
        for (auto& p : Core.Players())
            Check(p.Id != Core.OwnId());
        // Members, pending joins, held introductions and dials, each bounded.
        Check(Open.size() <=
              2 * p2::kMaxMembers + room::kMaxPendingJoins + room::kMaxHeldIntroductions + 2);
    }

    TLinkId Pick(TInput& in) {
        if (Known.empty()) return 12345;
        return Known[in.Byte() % Known.size()];
    }
    uint32_t PickId(TInput& in) {
        auto ids = Core.ViewIds();
        uint8_t b = in.Byte();
        if (ids.empty() || b >= 200) return in.U32();
        return ids[b % ids.size()];
    }

    p2::TFrame ValidFrame(TInput& in) {
        p2::TSecret secret{};
        switch (in.Byte() % 14) {
        case 0:
            if (in.Byte() & 1) {
                auto s = in.Bytes(16);
                std::copy(s.begin(), s.end(), secret.begin());
            }
            return p2::EncodePeerHello(
                {kRoom, Core.OwnId() ? Core.OwnId() : 1, PickId(in), secret});
        case 1:
            return proto::EncodeJoinRequest(kRoom);
        case 2:
            return proto::EncodeCreatePlayer({uint16_t(in.U32()), "n"});
        case 3: {
            auto block = in.Bytes(in.Byte() % 32);
            return p2::EncodeData(1 + in.Byte() % 8, block.data(), uint32_t(block.size()));
        }
        case 4:
            return p2::EncodeAck(in.Byte() % 8);
        case 5: {
            auto inner = p2::EncodeData(1 + in.Byte() % 8, "r", 1);
            return p2::EncodeRelay(PickId(in), p2::DATA, inner->data() + 5, inner->size() - 5);
        }
        case 6: {
            p2::TMemberAdded m;
            m.View = Core.ViewNumber() + 1;
            m.Member.Id = in.U32();
            m.Member.JoinNumber = in.U32();
            m.Member.Address = TNetAddress::FromIpv4(in.U32());
            m.Member.Port = 1;
            return p2::EncodeMemberAdded(m);
        }
        case 7:
            return p2::EncodeMemberRemoved({Core.ViewNumber() + 1, PickId(in)});
        case 8:
            return p2::EncodeHostAck(Core.ViewNumber() + in.Byte() % 3);
        case 9: {
            p2::TViewMessage v;
            v.View = Core.ViewNumber() + in.Byte() % 3;
            uint32_t join = 0;
            for (uint32_t id : Core.ViewIds())
                if (in.Byte() & 1) v.Members.push_back({id, join++, {}, 0, "x", {}});
            if (v.Members.empty()) v.Members.push_back({in.U32() | 1, 0, {}, 0, "x", {}});
            v.HostId = v.Members[in.Byte() % v.Members.size()].Id;
            return p2::EncodeNewHost(v);
        }
        case 10:
            return p2::EncodeEmpty(p2::REMOVED);
        case 11:
            return p2::EncodeLinks({Core.ViewNumber(), in.U32()});
        case 12: {
            p2::TWelcome w;
            w.View.View = 2;
            w.View.HostId = in.U32() | 1;
            w.YourId = w.View.HostId + 1 + in.Byte();
            w.View.Members = {{w.View.HostId, 0, {}, 1, "h", {}}, {w.YourId, 1, {}, 1, "m", {}}};
            for (int n = in.Byte() % 4; n > 0; --n)
                w.View.Members.push_back(
                    {in.U32() | 1, uint32_t(2 + n), TNetAddress::FromIpv4(5), 1, "o", {}});
            std::sort(w.View.Members.begin() + 2, w.View.Members.end(),
                      [](auto& a, auto& b) { return a.JoinNumber < b.JoinNumber; });
            return p2::EncodeWelcome(w);
        }
        default:
            return p2::EncodeEmpty(p2::PING);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TInput in{data, size};
    THarness h;
    if (in.Byte() & 1) {
        proto::TRoomInfo room;
        room.Instance = kRoom;
        room.MaxPlayers = in.Byte() % 12;
        h.Core.Create(h.Now, room);
        h.Core.CreatePlayer(h.Now, "host", 1);
    } else {
        h.Core.Join(h.Now, TNetAddress::FromIpv4(0x7F000001), 1, TGuid{}, kRoom);
        h.Take();
        TLinkId host = h.Known.back();
        h.Core.OnLinkUp(h.Now, host);
        proto::TRoomInfo info;
        info.Instance = kRoom;
        info.MaxPlayers = in.Byte() % 12;
        auto accept = proto::EncodeJoinAccept(info);
        h.Core.OnFrame(h.Now, host, (*accept)[4], accept->data() + 5, accept->size() - 5);
        h.Core.CreatePlayer(h.Now, "me", 2);
    }
    h.Take();
    for (int steps = 0; in.Left && steps < 2000; ++steps) {
        switch (in.Byte() % 9) {
        case 0: { // an accepted link with a request from the input or a sound one
            TLinkId link = h.NextAccepted++;
            h.Open.insert(link);
            h.Known.push_back(link);
            p2::TFrame f = h.ValidFrame(in);
            std::vector<uint8_t> raw;
            if (in.Byte() & 1) raw = in.Bytes(in.Byte());
            const uint8_t* body = raw.empty() ? f->data() + 5 : raw.data() + 1;
            size_t n = raw.empty() ? f->size() - 5 : raw.size() - 1;
            uint8_t type = raw.empty() ? (*f)[4] : raw[0];
            h.Core.OnLinkAccepted(h.Now, link, TNetAddress::FromIpv4(in.U32()), type, body, n);
            break;
        }
        case 1: {
            TLinkId link = h.Pick(in);
            auto raw = in.Bytes(in.Byte());
            if (raw.empty()) break;
            if (h.Open.count(link))
                h.Core.OnFrame(h.Now, link, raw[0], raw.data() + 1, raw.size() - 1);
            break;
        }
        case 2: {
            TLinkId link = h.Pick(in);
            auto f = h.ValidFrame(in);
            if (h.Open.count(link))
                h.Core.OnFrame(h.Now, link, (*f)[4], f->data() + 5, f->size() - 5);
            break;
        }
        case 3: {
            TLinkId link = h.Pick(in);
            if (!h.Open.count(link)) break;
            h.Core.OnLinkEnded(h.Now, link, TCoreLinkEnd(in.Byte() % 4));
            h.Take();
            h.Open.erase(link);
            break;
        }
        case 4: { // a timer: mostly a live one, sometimes a stale or foreign id
            uint8_t b = in.Byte();
            TTimerId t = h.SeenTimers.empty() ? b : h.SeenTimers[b % h.SeenTimers.size()];
            if (b >= 240) t = in.U32();
            bool live = h.Timers.erase(t);
            h.Core.OnTimer(h.Now, t);
            (void)live;
            break;
        }
        case 5:
            h.Now += 1 + int64_t(in.Byte()) * 40;
            h.Core.OnTick(h.Now);
            break;
        case 6: {
            auto block = in.Bytes(in.Byte() % 64);
            uint32_t to = in.Byte() & 1 ? 0 : h.PickId(in);
            h.Core.Send(h.Now, to, block.data(), block.size());
            break;
        }
        case 7: {
            TLinkId link = h.Pick(in);
            if (h.Open.count(link)) h.Core.OnLinkUp(h.Now, link);
            break;
        }
        default:
            if (in.Byte() == 0xFF) h.Core.Leave(h.Now);
            break;
        }
        h.Take();
    }
    return 0;
}
