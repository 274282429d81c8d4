#pragma once
#include "AnsiString.h"

#include <string>
#include <vector>

namespace platform {

// The machine's own IPv4 addresses in dotted-decimal form: those the host
// name resolves to, in resolver order, then the addresses of the network
// interfaces not already listed. Loopback addresses go last, so that a
// machine whose host name maps to 127.0.1.1 still offers its real address
// first. $PARLORA_OWN_IP ("a;b;...") replaces the whole list (tests).
// Throws platform::Exception "gethostname Error =<code>" when the host name
// cannot be had.
std::vector<AnsiString> OwnIPv4Addresses();

} // namespace platform
