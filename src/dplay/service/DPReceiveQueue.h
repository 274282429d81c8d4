#pragma once
#include "dplay/api/DirectPlay.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

namespace dplay {

// What a room holds for its owner until it takes it, from any thread.
class TDPReceiveQueue {
  public:
    // announces: the member a create notice is about, 0 for anything else.
    // Returns the bytes held now.
    size_t Push(DPID from, std::vector<uint8_t> bytes, uint32_t announces) {
        std::lock_guard lock(mutex_);
        bytes_ += bytes.size();
        if (announces) unannounced_.insert(announces);
        queue_.push_back({from, std::move(bytes), announces});
        return bytes_;
    }
    // The oldest message; DPERR_BUFFERTOOSMALL with the size it needs.
    // *held: the bytes still held after it.
    HRESULT Take(DPID* from, void* data, uint32_t* size, size_t* held) {
        std::lock_guard lock(mutex_);
        *held = bytes_;
        if (queue_.empty()) return DPERR_NOMESSAGES;
        auto& [sender, bytes, announces] = queue_.front();
        // An empty block needs no buffer; asking for one forever would stop the queue.
        if ((!data && !bytes.empty()) || *size < bytes.size()) {
            *size = static_cast<uint32_t>(bytes.size());
            return DPERR_BUFFERTOOSMALL;
        }
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        *size = static_cast<uint32_t>(bytes.size());
        if (from) *from = sender;
        bytes_ -= bytes.size();
        *held = bytes_;
        if (announces) unannounced_.erase(announces);
        queue_.pop_front();
        return DP_OK;
    }
    // Members whose create notice the owner has not taken yet are not
    // listed until it does, so each member comes either in the list the
    // owner reads on entering or as a notice, never in both (the notice of
    // one listed already would be dropped as a repeat, and its arrival never
    // shown).
    bool Announced(uint32_t id) const {
        std::lock_guard lock(mutex_);
        return !unannounced_.count(id);
    }

  private:
    struct TQueued {
        DPID From;
        std::vector<uint8_t> Bytes;
        uint32_t Announces;
    };
    mutable std::mutex mutex_;
    std::deque<TQueued> queue_;
    std::set<uint32_t> unannounced_;
    size_t bytes_ = 0;
};

} // namespace dplay
