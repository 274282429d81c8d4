#include "TLinkDrain.h"

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <map>
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

// Established TCP connections of this network namespace: inode -> bytes in
// the send buffer.
std::map<uint64_t, uint64_t> EstablishedSendQueues() {
    std::map<uint64_t, uint64_t> queues;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, txrx, timer, retransmits, uid, timeout;
            unsigned long long inode = 0;
            fields >> slot >> local >> remote >> state >> txrx >> timer >> retransmits >> uid >>
                timeout >> inode;
            unsigned long long tx = 0, rx = 0;
            if (!fields || state != "01" || inode == 0 ||
                std::sscanf(txrx.c_str(), "%llx:%llx", &tx, &rx) != 2)
                continue;
            queues[inode] = tx;
        }
    }
    return queues;
}

} // namespace

TLinkDrain::TLinkDrain() {
    const std::set<uint64_t> mine = OpenSocketInodes();
    for (const auto& [inode, tx] : EstablishedSendQueues())
        if (mine.count(inode)) inodes_.insert(inode);
}

bool TLinkDrain::Wait(int timeoutMs) const {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    std::set<uint64_t> pending = inodes_;
    std::set<uint64_t> quietOnce;
    while (!pending.empty()) {
        const std::set<uint64_t> open = OpenSocketInodes();
        const auto queues = EstablishedSendQueues();
        for (auto it = pending.begin(); it != pending.end();) {
            auto q = queues.find(*it);
            const bool closed = !open.count(*it) || q == queues.end();
            const bool quiet = !closed && q->second == 0;
            // One empty look may fall between two writes of the service.
            if (closed || (quiet && quietOnce.count(*it))) {
                it = pending.erase(it);
                continue;
            }
            if (quiet)
                quietOnce.insert(*it);
            else
                quietOnce.erase(*it);
            ++it;
        }
        if (pending.empty()) break;
        if (steady_clock::now() >= deadline) return false;
        // No signal comes when a connection has drained; a short nap keeps
        // this from spinning meanwhile.
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}
