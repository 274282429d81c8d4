#pragma once
#include <stdexcept>

// Why a room could not be created or entered; the message is UTF-8.
class ECliFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
