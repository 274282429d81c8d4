#include "dplay/protocol/DPGuid.h"

#include <cstdio>
#include <random>

namespace dplay {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Text order of the bytes: Data1..Data3 are stored little-endian.
constexpr int kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

} // namespace

bool TGuid::IsNull() const {
    for (uint8_t b : Bytes)
        if (b) return false;
    return true;
}

std::string TGuid::ToString() const {
    static const char* hex = "0123456789ABCDEF";
    std::string s = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        uint8_t b = Bytes[static_cast<size_t>(kTextOrder[i])];
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    s += '}';
    return s;
}

std::optional<TGuid> TGuid::Parse(std::string_view text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
    TGuid g;
    size_t pos = 1;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (text[pos] != '-') return std::nullopt;
            ++pos;
        }
        int hi = HexValue(text[pos]), lo = HexValue(text[pos + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        g.Bytes[static_cast<size_t>(kTextOrder[i])] = static_cast<uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    return g;
}

TGuid TGuid::Create() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    TGuid g;
    for (size_t i = 0; i < 16; i += 8) {
        uint64_t v = rng();
        for (size_t j = 0; j < 8; ++j)
            g.Bytes[i + j] = static_cast<uint8_t>(v >> (8 * j));
    }
    g.Bytes[7] = static_cast<uint8_t>((g.Bytes[7] & 0x0F) | 0x40); // version 4 (Data3 high nibble)
    g.Bytes[8] = static_cast<uint8_t>((g.Bytes[8] & 0x3F) | 0x80);
    return g;
}

} // namespace dplay
