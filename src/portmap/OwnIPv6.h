#pragma once
// The machine's stable global IPv6 addresses: what an outsider can enter at
// when the network gives this machine an address of its own.
#include <string>
#include <string_view>
#include <vector>

namespace portmap {

// From the text of /proc/net/if_inet6: addresses of global scope that are
// neither temporary (privacy) nor deprecated, tentative or failed, and not
// unique-local (fc00::/7), in RFC 5952 form, in the order listed.
std::vector<std::string> StableGlobalIPv6(std::string_view ifInet6);
// The same, read from this machine.
std::vector<std::string> OwnStableGlobalIPv6();

} // namespace portmap
