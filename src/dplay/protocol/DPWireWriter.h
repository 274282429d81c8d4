#pragma once
#include "dplay/protocol/DPGuid.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace dplay {

// Builds one frame (length, type, body) in a single buffer, so that it goes
// out in one write. Numbers are little-endian.
class TDPWireWriter {
  public:
    explicit TDPWireWriter(uint8_t type, size_t bodyHint = 0) {
        bytes_.reserve(5 + bodyHint);
        bytes_.resize(4);
        bytes_.push_back(type);
    }
    TDPWireWriter& U8(uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    TDPWireWriter& U16(uint16_t v) { return Raw(&v, 2); }
    TDPWireWriter& U32(uint32_t v) { return Raw(&v, 4); }
    TDPWireWriter& Guid(const TGuid& g) { return Raw(g.Bytes.data(), 16); }
    TDPWireWriter& Raw(const void* data, size_t size) {
        // The host is little-endian (x86-64/ARM64); the wire is too.
        auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
        return *this;
    }
    // A length-prefixed (u16) text, cut to `maxSize` bytes.
    TDPWireWriter& Text(std::string_view text, size_t maxSize) {
        if (text.size() > maxSize) text = text.substr(0, maxSize);
        U16(static_cast<uint16_t>(text.size()));
        return Raw(text.data(), text.size());
    }
    std::shared_ptr<const std::vector<uint8_t>> Finish() {
        uint32_t length = static_cast<uint32_t>(bytes_.size() - 4);
        for (int i = 0; i < 4; ++i)
            bytes_[static_cast<size_t>(i)] = uint8_t(length >> (8 * i));
        return std::make_shared<const std::vector<uint8_t>>(std::move(bytes_));
    }

  private:
    std::vector<uint8_t> bytes_;
};

} // namespace dplay
