#pragma once
#include "DPPlayer.h"

#include <cstdint>
#include <vector>

// The players of a session, owned by the collection.
class TDPPlayers {
  public:
    TDPPlayers() = default;
    ~TDPPlayers();
    TDPPlayers(const TDPPlayers&) = delete;
    TDPPlayers& operator=(const TDPPlayers&) = delete;

    // A new item at the end, owned by the collection.
    TDPPlayer* Add();
    int Count() const { return static_cast<int>(items_.size()); }
    TDPPlayer* Items(int index) const { return items_.at(static_cast<size_t>(index)); }
    TDPPlayer* operator[](int index) const { return Items(index); }
    // The player with that id; EDPSessionError when there is none.
    TDPPlayer* Find(uint32_t id) const;
    // Index of the player with that id, or -1.
    int IndexOf(uint32_t id) const;
    // Deletes every item (no events).
    void Clear();

  private:
    friend class TDPPlayer;
    std::vector<TDPPlayer*> items_;
};
