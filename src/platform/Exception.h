#pragma once
#include "AnsiString.h"

#include <exception>

namespace platform {

// Base of the program's own errors: a message text in CP932, shown as it is
// by the application's error box.
class Exception : public std::exception {
  public:
    explicit Exception(AnsiString message, AnsiString details = {})
        : Message(std::move(message)), Details(std::move(details)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    AnsiString Message;
    // What lies behind the message (which port, which cause), shown in the
    // error box's details; empty when there is nothing more to say.
    AnsiString Details;
};

// The silent abort: ends an operation without any message being shown.
class EAbort : public Exception {
  public:
    EAbort() : Exception("Operation aborted") {}
};

} // namespace platform
