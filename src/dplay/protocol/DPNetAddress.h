#pragma once
#include <array>
#include <compare>
#include <cstdint>

namespace dplay {

// A member's address in the room and on the wire: 16 bytes in network
// order, an IPv6 address or an IPv4 one mapped into IPv6 (::ffff:a.b.c.d),
// so that one field carries either family. All zero means "none" (the
// host's own entry in a WELCOME: the address the joiner reached it at).
struct TNetAddress {
    std::array<uint8_t, 16> Bytes{};

    static TNetAddress FromIpv4(uint32_t ipv4) { // ipv4 in host order
        TNetAddress a;
        a.Bytes[10] = a.Bytes[11] = 0xFF;
        for (int i = 0; i < 4; ++i)
            a.Bytes[12 + i] = static_cast<uint8_t>(ipv4 >> (24 - 8 * i));
        return a;
    }
    bool IsNone() const { return *this == TNetAddress{}; }
    bool IsIpv4() const {
        for (int i = 0; i < 10; ++i)
            if (Bytes[i]) return false;
        return Bytes[10] == 0xFF && Bytes[11] == 0xFF;
    }
    uint32_t Ipv4() const {
        return uint32_t(Bytes[12]) << 24 | uint32_t(Bytes[13]) << 16 | uint32_t(Bytes[14]) << 8 |
               Bytes[15];
    }
    // Whether a member may be told to dial it: none of the addresses that
    // reach no one (unspecified, multicast, IPv4 0/8 and 224/4 and above).
    bool Dialable() const {
        if (IsIpv4()) return Bytes[12] != 0 && Bytes[12] < 224;
        if (Bytes[0] == 0xFF) return false;
        return !IsNone();
    }
    // What counts as one source for the bounds per source: an IPv4 address,
    // or an IPv6 /64, since one machine or home network is given a whole /64
    // and can take any address in it.
    TNetAddress Source() const {
        if (IsIpv4()) return *this;
        TNetAddress s;
        for (int i = 0; i < 8; ++i)
            s.Bytes[i] = Bytes[i];
        return s;
    }

    friend bool operator==(const TNetAddress&, const TNetAddress&) = default;
    friend auto operator<=>(const TNetAddress&, const TNetAddress&) = default;
};

} // namespace dplay
