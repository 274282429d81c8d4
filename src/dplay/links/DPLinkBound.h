#pragma once
#include "dplay/links/DPLink.h"

#include <deque>
#include <functional>
#include <memory>

namespace dplay {

// Connections of one kind that the service holds at once (in the handshake,
// being served an enumeration, waiting to finish a join): at most `total`,
// and at most `perSource` from one source (an IPv4 address or an IPv6 /64). When one more comes,
// the oldest over a bound is closed, so a flood costs bounded descriptors and memory and cannot
// lock newcomers out. I/O thread only.
class TDPLinkBound {
  public:
    // Whether an entry still counts; a closed link never does.
    using Holds = std::function<bool()>;

    TDPLinkBound(size_t total, size_t perSource) : total_(total), perSource_(perSource) {}

    void Add(const std::shared_ptr<TDPLink>& link, Holds holds = nullptr) {
        std::erase_if(entries_, [](const Entry& e) { return !e.Counts(); });
        const auto source = ToNet(link->RemoteAddress()).Source();
        size_t fromSource = 0;
        for (auto& e : entries_)
            if (e.Source == source) ++fromSource;
        while (!entries_.empty() && (entries_.size() >= total_ || fromSource >= perSource_)) {
            auto victim = entries_.begin();
            if (entries_.size() < total_)
                while (victim->Source != source)
                    ++victim;
            if (victim->Source == source) --fromSource;
            auto oldest = victim->Link.lock();
            entries_.erase(victim);
            if (oldest) oldest->Close(TLinkEnd::Timeout);
        }
        entries_.push_back({link, source, std::move(holds)});
    }
    size_t Count() {
        std::erase_if(entries_, [](const Entry& e) { return !e.Counts(); });
        return entries_.size();
    }

  private:
    struct Entry {
        std::weak_ptr<TDPLink> Link;
        TNetAddress Source;
        Holds Still;
        bool Counts() const {
            auto link = Link.lock();
            return link && link->IsOpen() && (!Still || Still());
        }
    };
    size_t total_, perSource_;
    std::deque<Entry> entries_;
};

} // namespace dplay
