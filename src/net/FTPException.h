#pragma once
// A failing FTP reply; the message is the reply as received, every line
// led by its code and a blank.
#include "platform/Exception.h"

namespace net {

class FTPException : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

} // namespace net
