#pragma once
#include "dplay/protocol/DPGuid.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace dplay {

// Reads a frame body from outside; every read is bounds-checked. After a
// failed read Ok() stays false and every later read yields zeros.
class TDPWireReader {
  public:
    TDPWireReader(const uint8_t* data, size_t size) : p_(data), left_(size) {}

    uint8_t U8() {
        uint8_t v = 0;
        Take(&v, 1);
        return v;
    }
    uint16_t U16() {
        uint8_t b[2] = {};
        Take(b, 2);
        return static_cast<uint16_t>(b[0] | b[1] << 8);
    }
    uint32_t U32() {
        uint8_t b[4] = {};
        Take(b, 4);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    TGuid Guid() {
        TGuid g;
        Take(g.Bytes.data(), 16);
        return g;
    }
    void Bytes(uint8_t* out, size_t n) {
        Take(out, n);
        if (!ok_) std::memset(out, 0, n);
    }
    // A u16-prefixed text of at most maxSize bytes.
    std::string Text(size_t maxSize) {
        uint16_t n = U16();
        if (!ok_ || n > maxSize || n > left_) {
            ok_ = false;
            return {};
        }
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        left_ -= n;
        return s;
    }
    bool Ok() const { return ok_; }
    // True when everything was read and nothing is left over.
    bool Done() const { return ok_ && left_ == 0; }

  private:
    void Take(void* out, size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return;
        }
        std::memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
    }
    const uint8_t* p_;
    size_t left_;
    bool ok_ = true;
};

} // namespace dplay
