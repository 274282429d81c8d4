#pragma once
#include "platform/AnsiString.h"

#include <cstdint>

class TDPPlayers;

// One member of the session. Items live in a TDPPlayers collection; deleting
// an item removes it from its collection.
class TDPPlayer {
  public:
    explicit TDPPlayer(TDPPlayers* collection);
    ~TDPPlayer();
    TDPPlayer(const TDPPlayer&) = delete;
    TDPPlayer& operator=(const TDPPlayer&) = delete;

    TDPPlayers* Collection() const { return collection_; }

    uint32_t Id = 0;
    AnsiString Name;     // the player's short name; empty if it has none
    bool Remote = false; // false only for the own player

  private:
    friend class TDPPlayers;
    TDPPlayers* collection_;
};
