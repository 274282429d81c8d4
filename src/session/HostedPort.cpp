#include "HostedPort.h"

#include "dplay/api/DirectPlay.h"
#include "dplay/service/DPService.h"

#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// Inodes of the listening TCP sockets on port in this network namespace.
std::set<std::string> ListeningInodes(uint16_t port) {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line); // header
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                  uid >> timeout >> inode))
                continue;
            auto colon = local.rfind(':');
            if (state != "0A" || colon == std::string::npos) continue;
            if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
        }
    }
    return inodes;
}

// Whether one of this process's descriptors is such a socket: the kernel
// knows who holds the port better than any record of ours.
bool HoldsListeningSocket(uint16_t port) {
    std::set<std::string> inodes = ListeningInodes(port);
    if (inodes.empty()) return false;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        char target[64] = {};
        ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        std::string link(target, static_cast<size_t>(n));
        if (link.rfind("socket:[", 0) == 0 && inodes.count(link.substr(8, link.size() - 9))) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

THostedPort HostedPort(uint16_t directoryPort) {
    if (directoryPort == 0) directoryPort = dplay::DPDEFAULT_PORT;
    if (HoldsListeningSocket(directoryPort)) return {directoryPort, true};
    return {dplay::TDPService::Acquire()->MemberPort(), false};
}
