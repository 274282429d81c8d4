#pragma once
// A value that does not fit where it has to go (a 16-bit count, a port, a
// reply number).
#include "platform/Exception.h"

namespace net {

class ERangeError : public platform::Exception {
  public:
    ERangeError() : platform::Exception("Range check error") {}
};

} // namespace net
