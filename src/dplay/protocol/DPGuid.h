#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dplay {

// A 16-byte GUID in its memory layout (Data1..Data3 little-endian, as the
// platform stores them), so that the text form matches the usual one.
struct TGuid {
    std::array<uint8_t, 16> Bytes{};

    bool IsNull() const;
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case.
    std::string ToString() const;
    // Accepts the braced 8-4-4-4-12 form in either case; nothing else.
    static std::optional<TGuid> Parse(std::string_view text);
    // A fresh random GUID (version 4).
    static TGuid Create();

    friend bool operator==(const TGuid&, const TGuid&) = default;
    friend auto operator<=>(const TGuid&, const TGuid&) = default;
};

} // namespace dplay
