#pragma once
// Errors of the socket component: socket and connection failures, and the
// cancelled transfer.
#include "platform/Exception.h"

namespace net {

class ESockError : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

class EAbortError : public ESockError {
  public:
    using ESockError::ESockError;
};

} // namespace net
