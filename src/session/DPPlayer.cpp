#include "DPPlayer.h"

#include "DPPlayers.h"

#include <algorithm>

TDPPlayer::TDPPlayer(TDPPlayers* collection) : collection_(collection) {
    if (collection_) collection_->items_.push_back(this);
}

TDPPlayer::~TDPPlayer() {
    if (collection_) std::erase(collection_->items_, this);
}
