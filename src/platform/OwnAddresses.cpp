#include "OwnAddresses.h"

#include "Exception.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {
AnsiString Dotted(const sockaddr_in* sa) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa->sin_addr, buf, sizeof buf);
    return buf;
}
} // namespace

std::vector<AnsiString> OwnIPv4Addresses() {
    std::vector<AnsiString> out;
    auto add = [&](const AnsiString& a) {
        if (!a.empty() && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    };
    if (const char* env = std::getenv("PARLORA_OWN_IP"); env && *env) {
        std::string s = env;
        size_t start = 0;
        while (start <= s.size()) {
            size_t end = s.find(';', start);
            if (end == std::string::npos) end = s.size();
            add(s.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    char host[100] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        throw Exception("gethostname Error =" + std::to_string(errno));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &res) == 0) {
        for (auto* p = res; p; p = p->ai_next)
            add(Dotted(reinterpret_cast<const sockaddr_in*>(p->ai_addr)));
        ::freeaddrinfo(res);
    }
    ifaddrs* ifs = nullptr;
    if (::getifaddrs(&ifs) == 0) {
        for (auto* p = ifs; p; p = p->ifa_next)
            if (p->ifa_addr && p->ifa_addr->sa_family == AF_INET)
                add(Dotted(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)));
        ::freeifaddrs(ifs);
    }
    std::stable_partition(out.begin(), out.end(),
                          [](const AnsiString& a) { return a.rfind("127.", 0) != 0; });
    return out;
}

} // namespace platform
