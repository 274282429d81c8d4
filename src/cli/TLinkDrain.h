#pragma once
// Waits, when leaving a room, until the connections to the other members
// have written out what was queued on them. The session service writes on
// its own thread and closes such a connection only once its queue is empty,
// but stops that thread (dropping the queues) as soon as its last user lets
// go, which would lose the last lines typed before the end of input.
#include <cstddef>
#include <cstdint>
#include <set>

class TLinkDrain {
  public:
    // Notes this process's established TCP connections, except those on the
    // directory port (they serve the machine's room list, not the room).
    explicit TLinkDrain(uint16_t directoryPort);

    // Waits until every noted connection has been closed, at most timeoutMs.
    // True when all are gone.
    bool Wait(int timeoutMs) const;

    size_t Count() const { return inodes_.size(); }

  private:
    std::set<uint64_t> inodes_;
};
