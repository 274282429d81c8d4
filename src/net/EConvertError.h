#pragma once
// A text that should have been a number and is not.
#include "platform/Exception.h"

namespace net {

class EConvertError : public platform::Exception {
  public:
    explicit EConvertError(const AnsiString& text)
        : platform::Exception("'" + text + "' is not a valid integer value") {}
};

} // namespace net
