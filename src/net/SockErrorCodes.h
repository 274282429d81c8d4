#pragma once
// The socket error numbers the program reports, and how the platform's error
// numbers map onto them. The texts are the ones users and logs have always
// seen ("10061:Connection refused").
#include "platform/AnsiString.h"

#include <cstdint>

namespace net {

enum : uint32_t {
    WSAEWOULDBLOCK = 10035,
    WSAENOTCONN = 10057,
    WSAECONNREFUSED = 10061,
    WSAHOST_NOT_FOUND = 11001,
};

// The error code for an errno value; 0 stays 0. Values with no counterpart
// become 20000 + errno, which has no text of its own.
uint32_t SockErrorFromErrno(int err);

// The error code for a getaddrinfo() result (EAI_*); 0 stays 0.
uint32_t SockErrorFromLookup(int eaiCode, int savedErrno);

// The table text of a code without the number ("Connection refused"), or
// nullptr when the code is not in the table.
const char* SockErrorTableText(uint32_t code);

// Number of records in the table (the closing record with code 0 included).
int SockErrorTableSize();

} // namespace net
