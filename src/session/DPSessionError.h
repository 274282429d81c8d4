#pragma once
#include "platform/Exception.h"

// The session component's own errors; the message is CP932 text for the
// error box.
class EDPSessionError : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

// A send refused for now because a member does not keep up: nothing was
// sent, and the same send may succeed later.
class EDPSessionBusy : public EDPSessionError {
  public:
    using EDPSessionError::EDPSessionError;
};
