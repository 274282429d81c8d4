#pragma once
// The decisions of the port mapper that depend only on what a router said:
// which addresses outsiders can use, what an answer to a mapping request
// means, when to renew, which public port to try next and whether a NAT-PMP
// router has restarted. No I/O, so that every rule can be checked alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace portmap {

// An IPv4 address in host byte order (a.b.c.d as a<<24 | b<<16 | c<<8 | d).
using TIPv4 = uint32_t;

enum class TAddressKind {
    Public,   // reachable from the Internet
    Private,  // 10/8, 172.16/12, 192.168/16: a network behind another router
    Shared,   // 100.64/10: the provider's shared address space (carrier NAT)
    Unusable, // 0/8, loopback, link-local, multicast, reserved, broadcast
};
TAddressKind ClassifyIPv4(TIPv4 address);
std::string FormatIPv4(TIPv4 address);
// Strict dotted-decimal (four parts, 0-255, no leading zeros beyond "0").
std::optional<TIPv4> ParseIPv4(std::string_view text);

// The default IPv4 gateway in the text of /proc/net/route: the up gateway
// route to 0.0.0.0/0 with the lowest metric.
std::optional<TIPv4> DefaultGateway(std::string_view procNetRoute);

// The host part of an http URL ("http://h:p/x" -> "h"), "" when it has none.
std::string UrlHost(std::string_view url);

// What to do after a UPnP AddPortMapping answer (0 or an error code).
enum class TUpnpAnswer {
    Mapped,
    PermanentLeaseOnly, // ask again with lease 0
    PortTaken,          // ask again with another public port
    Refused,            // the router will not map this port
    NoAnswer,           // no usable answer: the router may be gone
};
TUpnpAnswer InterpretUpnpAdd(int code);

// NAT-PMP result codes (RFC 6886), and libnatpmp's negative forms of them.
enum class TPmpAnswer { Mapped, Refused, NoAnswer };
TPmpAnswer InterpretPmpResult(int code);

// The public port to ask for on the attempt-th try (0: the same as the
// internal one); nullopt when no more should be tried.
constexpr int kPortAttempts = 8;
std::optional<uint16_t> CandidatePort(uint16_t internal, int attempt);

// Seconds until a mapping granted for `lease` seconds is renewed: half the
// lease. A permanent mapping (0) is checked at an hour's pace, so that one
// lost to a router restart is made again.
constexpr uint32_t kLeaseSeconds = 3600;
constexpr uint32_t kPermanentCheckSeconds = 1800;
uint32_t RenewAfter(uint32_t lease);

// RFC 6886 3.6: a router whose seconds-since-start-of-epoch fell behind what
// elapsed since its previous answer (with 1/8 slack and 2 s) has restarted
// and lost its mappings.
bool PmpEpochRestarted(uint32_t previousEpoch, uint32_t epoch, double elapsedSeconds);

} // namespace portmap
