#include "dplay/core/DPCoverMark.h"

#include <mutex>

namespace dplay::cover {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
TMark*& Head() {
    static TMark* head = nullptr;
    return head;
}

} // namespace

TMark::TMark(std::string_view name) : Name(name) {
    std::lock_guard<std::mutex> hold(Lock());
    Next = Head();
    Head() = this;
}

uint64_t Hits(std::string_view name) {
    std::lock_guard<std::mutex> hold(Lock());
    uint64_t hits = 0;
    for (TMark* m = Head(); m; m = m->Next)
        if (m->Name == name) hits += m->Hits.load(std::memory_order_relaxed);
    return hits;
}

} // namespace dplay::cover
