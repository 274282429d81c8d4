#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace dplay {

// Splits a byte stream into frames: a 4-byte little-endian length (type byte
// plus body), the type byte, the body. A length of 0 or above the current
// bound is a violation, detected from the 4 length bytes alone, before any
// room is made for the body.
class TDPFrameDecoder {
  public:
    // Return false to stop decoding (the link was closed meanwhile).
    using FrameHandler = std::function<bool(uint8_t type, const uint8_t* body, size_t size)>;

    explicit TDPFrameDecoder(uint32_t maxLength) : maxLength_(maxLength) {}
    // The bound for every frame not yet decoded.
    void SetMaxLength(uint32_t maxLength) { maxLength_ = maxLength; }

    // Takes the next bytes of the stream. Returns false on a violation or
    // when the handler stopped; decoding must not go on afterwards.
    bool Feed(const uint8_t* data, size_t size, const FrameHandler& onFrame);
    // Bytes held of a frame not yet complete.
    size_t Pending() const { return buffer_.size() - start_; }
    // The length that frame declares (type and body), once its four length
    // bytes are in; 0 before.
    uint32_t PendingLength() const;

  private:
    uint32_t maxLength_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
};

} // namespace dplay
