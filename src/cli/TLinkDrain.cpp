#include "TLinkDrain.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// The socket inodes behind this process's open descriptors.
std::set<uint64_t> OpenSocketInodes() {
    std::set<uint64_t> inodes;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return inodes;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        char target[128];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long long inode = 0;
        if (std::sscanf(target, "socket:[%llu]", &inode) == 1) inodes.insert(inode);
    }
    ::closedir(dir);
    return inodes;
}

unsigned PortOf(const std::string& hexAddress) {
    auto colon = hexAddress.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<unsigned>(std::stoul(hexAddress.substr(colon + 1), nullptr, 16));
}

} // namespace

TLinkDrain::TLinkDrain(uint16_t directoryPort) {
    const std::set<uint64_t> mine = OpenSocketInodes();
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long long inode = 0;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (!fields || state != "01" || !mine.count(inode)) continue;
            try {
                if (PortOf(local) == directoryPort || PortOf(remote) == directoryPort) continue;
            } catch (...) {
                continue;
            }
            inodes_.insert(inode);
        }
    }
}

bool TLinkDrain::Wait(int timeoutMs) const {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        const std::set<uint64_t> open = OpenSocketInodes();
        bool any = false;
        for (uint64_t inode : inodes_)
            any = any || open.count(inode);
        if (!any) return true;
        if (steady_clock::now() >= deadline) return false;
        // The service gives no signal when a connection has drained; a short
        // nap keeps this from spinning while it finishes.
        std::this_thread::sleep_for(milliseconds(5));
    }
}
