#pragma once
#include "dplay/protocol/DPProtocol.h"

namespace dplay {

// A room of this process as the directory lists it.
class TDPListedRoom {
  public:
    virtual ~TDPListedRoom() = default;
    virtual const proto::TRoomInfo& Info() const = 0;
    virtual proto::TRoomInfo CurrentInfo() const = 0;
};

} // namespace dplay
