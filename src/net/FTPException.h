#pragma once
// A failing FTP reply; the message is the reply's first line as received.
#include "platform/Exception.h"

namespace net {

class FTPException : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

} // namespace net
