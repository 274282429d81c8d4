#include "DPPlayers.h"

#include "DPSessionError.h"
#include "platform/Cp932.h"

TDPPlayers::~TDPPlayers() {
    Clear();
}

TDPPlayer* TDPPlayers::Add() {
    return new TDPPlayer(this);
}

TDPPlayer* TDPPlayers::Find(uint32_t id) const {
    int index = IndexOf(id);
    if (index < 0)
        throw EDPSessionError(platform::Utf8ToCp932("指定された ID のプレイヤーが見つかりません"));
    return items_[static_cast<size_t>(index)];
}

int TDPPlayers::IndexOf(uint32_t id) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i]->Id == id) return static_cast<int>(i);
    return -1;
}

void TDPPlayers::Clear() {
    while (!items_.empty())
        delete items_.back(); // each removes itself
}
