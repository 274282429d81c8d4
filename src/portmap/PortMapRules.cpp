#include "PortMapRules.h"

#include <arpa/inet.h>
#include <charconv>
#include <vector>

namespace portmap {

TAddressKind ClassifyIPv4(TIPv4 a) {
    auto in = [a](TIPv4 net, int bits) {
        TIPv4 mask = bits == 0 ? 0 : ~TIPv4{0} << (32 - bits);
        return (a & mask) == net;
    };
    if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16)) return TAddressKind::Private;
    if (in(0x64400000, 10)) return TAddressKind::Shared;
    if (in(0x00000000, 8) || in(0x7F000000, 8) || in(0xA9FE0000, 16) || in(0xE0000000, 4) ||
        in(0xF0000000, 4))
        return TAddressKind::Unusable;
    return TAddressKind::Public;
}

std::string FormatIPv4(TIPv4 a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::optional<TIPv4> ParseIPv4(std::string_view text) {
    TIPv4 value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4)
            ++pos;
        size_t len = pos - start;
        if (len == 0 || len > 3 || (len > 1 && text[start] == '0')) return std::nullopt;
        unsigned n = 0;
        std::from_chars(text.data() + start, text.data() + pos, n);
        if (n > 255) return std::nullopt;
        value = value << 8 | n;
    }
    if (pos != text.size()) return std::nullopt;
    return value;
}

namespace {

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::optional<uint32_t> Hex(std::string_view s) {
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

} // namespace

std::optional<TIPv4> DefaultGateway(std::string_view table) {
    constexpr uint32_t kUp = 0x1, kGateway = 0x2;
    std::optional<TIPv4> best;
    uint32_t bestMetric = 0;
    bool header = true;
    while (!table.empty()) {
        size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
        if (header) { // "Iface Destination Gateway ..."
            header = false;
            continue;
        }
        auto f = Fields(line);
        if (f.size() < 8) continue;
        auto dest = Hex(f[1]), gw = Hex(f[2]), flags = Hex(f[3]), mask = Hex(f[7]);
        if (!dest || !gw || !flags || !mask || *dest != 0 || *mask != 0) continue;
        if ((*flags & (kUp | kGateway)) != (kUp | kGateway) || *gw == 0) continue;
        uint32_t m = 0;
        std::from_chars(f[6].data(), f[6].data() + f[6].size(), m, 10);
        if (!best || m < bestMetric) {
            // The kernel prints the network-order word as a native integer.
            best = ntohl(*gw);
            bestMetric = m;
        }
    }
    return best;
}

std::string UrlHost(std::string_view url) {
    auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return {};
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') {
        auto close = rest.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

TUpnpAnswer InterpretUpnpAdd(int code) {
    switch (code) {
    case 0:
        return TUpnpAnswer::Mapped;
    case 725:
        return TUpnpAnswer::PermanentLeaseOnly;
    case 718: // ConflictInMappingEntry
    case 729: // ConflictWithOtherMechanisms
        return TUpnpAnswer::PortTaken;
    default:
        // Negative: the library got no usable answer (HTTP error, bad reply).
        return code < 0 ? TUpnpAnswer::NoAnswer : TUpnpAnswer::Refused;
    }
}

TPmpAnswer InterpretPmpResult(int code) {
    switch (code) {
    case 0:
        return TPmpAnswer::Mapped;
    case 3:   // network failure: the router has no public address yet
    case -52: // its libnatpmp form
        return TPmpAnswer::NoAnswer;
    default:
        // 1, 2, 4, 5 and their libnatpmp forms (-14, -51, -53, -15), an
        // undefined result and a router that does not speak NAT-PMP (-7).
        if (code > 0 || code == -14 || code == -15 || code == -49 || code == -51 || code == -53 ||
            code == -7)
            return TPmpAnswer::Refused;
        return TPmpAnswer::NoAnswer;
    }
}

std::optional<uint16_t> CandidatePort(uint16_t internal, int attempt) {
    if (attempt < 0 || attempt >= kPortAttempts) return std::nullopt;
    if (attempt == 0) return internal;
    // Nearby ports first: people forwarding by hand look there.
    uint32_t port = uint32_t{internal} + static_cast<uint32_t>(attempt);
    if (port > 65535) port = 1024 + (port - 65536);
    return static_cast<uint16_t>(port);
}

uint32_t RenewAfter(uint32_t lease) {
    if (lease == 0) return kPermanentCheckSeconds;
    return lease / 2 > 0 ? lease / 2 : 1;
}

bool PmpEpochRestarted(uint32_t previousEpoch, uint32_t epoch, double elapsedSeconds) {
    if (elapsedSeconds < 0) elapsedSeconds = 0;
    double expected = previousEpoch + elapsedSeconds * 7.0 / 8.0;
    return static_cast<double>(epoch) < expected - 2.0;
}

} // namespace portmap
