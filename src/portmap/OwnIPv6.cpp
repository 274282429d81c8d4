#include "OwnIPv6.h"

#include <arpa/inet.h>
#include <charconv>
#include <fstream>
#include <sstream>

namespace portmap {

namespace {

constexpr unsigned kTemporary = 0x01, kDadFailed = 0x08, kDeprecated = 0x20, kTentative = 0x40;

bool HexNumber(std::string_view s, unsigned& value) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    return ec == std::errc() && end == s.data() + s.size();
}

} // namespace

std::vector<std::string> StableGlobalIPv6(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, index, prefix, scope, flags;
        if (!(fields >> address >> index >> prefix >> scope >> flags) || address.size() != 32)
            continue;
        unsigned scopeValue = 0, flagValue = 0;
        if (!HexNumber(scope, scopeValue) || !HexNumber(flags, flagValue)) continue;
        if (scopeValue != 0 || (flagValue & (kTemporary | kDadFailed | kDeprecated | kTentative)))
            continue;
        in6_addr bytes{};
        bool ok = true;
        for (int i = 0; i < 16 && ok; ++i) {
            unsigned b = 0;
            ok = HexNumber(std::string_view(address).substr(2 * i, 2), b);
            bytes.s6_addr[i] = static_cast<uint8_t>(b);
        }
        if (!ok || (bytes.s6_addr[0] & 0xFE) == 0xFC || IN6_IS_ADDR_V4MAPPED(&bytes) ||
            IN6_IS_ADDR_UNSPECIFIED(&bytes) || IN6_IS_ADDR_LOOPBACK(&bytes) ||
            IN6_IS_ADDR_MULTICAST(&bytes))
            continue;
        char printed[INET6_ADDRSTRLEN] = {};
        // glibc prints the RFC 5952 form: lower case, the longest run of
        // zero groups (two or more) shortened.
        if (!inet_ntop(AF_INET6, &bytes, printed, sizeof printed)) continue;
        out.emplace_back(printed);
    }
    return out;
}

std::vector<std::string> OwnStableGlobalIPv6() {
    std::ifstream file("/proc/net/if_inet6");
    std::stringstream text;
    text << file.rdbuf();
    return StableGlobalIPv6(text.str());
}

} // namespace portmap
