#include "dplay/protocol/DPFrameDecoder.h"

#include <cstring>

namespace dplay {
namespace {

uint32_t LengthAt(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

uint32_t TDPFrameDecoder::PendingLength() const {
    return Pending() < 4 ? 0 : LengthAt(buffer_.data() + start_);
}

bool TDPFrameDecoder::Feed(const uint8_t* data, size_t size, const FrameHandler& onFrame) {
    if (size) buffer_.insert(buffer_.end(), data, data + size);
    for (;;) {
        size_t avail = buffer_.size() - start_;
        if (avail < 4) break;
        const uint8_t* p = buffer_.data() + start_;
        const uint32_t length = LengthAt(p);
        if (length == 0 || length > maxLength_) return false;
        if (avail < 4 + size_t(length)) {
            // Make room for the rest of this frame in one step (it passed the bound).
            if (buffer_.capacity() < start_ + 4 + length) buffer_.reserve(start_ + 4 + length);
            break;
        }
        start_ += 4 + size_t(length);
        if (!onFrame(p[4], p + 5, length - 1)) return false;
    }
    // Drop what was consumed; keep a partial frame at the front.
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, buffer_.size() - start_);
        buffer_.resize(buffer_.size() - start_);
        start_ = 0;
    }
    return true;
}

} // namespace dplay
