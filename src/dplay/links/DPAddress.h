#pragma once
#include "dplay/protocol/DPNetAddress.h"

#include <asio.hpp>

namespace dplay {

// An IPv4 peer that reached a dual-stack socket shows as ::ffff:a.b.c.d: it
// is that IPv4 address, for loopback checks, bounds and what others dial.
inline asio::ip::address Plain(const asio::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a;
}

inline TNetAddress ToNet(const asio::ip::address& address) {
    const asio::ip::address a = Plain(address);
    if (a.is_v4()) return TNetAddress::FromIpv4(a.to_v4().to_uint());
    TNetAddress n;
    n.Bytes = a.to_v6().to_bytes();
    return n;
}

inline asio::ip::address ToAsio(const TNetAddress& n) {
    if (n.IsIpv4()) return asio::ip::address_v4(n.Ipv4());
    return asio::ip::address_v6(n.Bytes);
}

} // namespace dplay
