#pragma once
// Waits, when leaving a room, until the connections to the other members
// have written out what was queued on them. The session service writes on
// its own thread and closes such a connection only once its queue is empty,
// but stops that thread (dropping the queues) as soon as its last user lets
// go, which would lose the last lines typed before the end of input.
//
// The service does not tell when its queues are empty; the kernel does in
// effect: a connection holds queued data only while its send buffer is full,
// so one that is closed, or whose send buffer stays empty, has nothing left.
#include <cstddef>
#include <cstdint>
#include <set>

class TLinkDrain {
  public:
    // Notes this process's established TCP connections.
    TLinkDrain();

    // Waits until every noted connection is closed or has an empty send
    // buffer on two looks in a row, at most timeoutMs. True when all are so.
    bool Wait(int timeoutMs) const;

    size_t Count() const { return inodes_.size(); }

  private:
    std::set<uint64_t> inodes_;
};
