#pragma once
#include "platform/Exception.h"

// The session component's own errors; the message is CP932 text for the
// error box.
class EDPSessionError : public platform::Exception {
  public:
    using platform::Exception::Exception;
};
