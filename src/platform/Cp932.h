#pragma once
#include "AnsiString.h"

#include <string>
#include <string_view>

namespace platform {

// True for the bytes that start a two-byte CP932 character.
constexpr bool IsLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// UTF-8 to CP932. A character CP932 cannot hold, or a malformed UTF-8
// sequence, becomes one "?"; the rest of the text is kept.
AnsiString Utf8ToCp932(std::string_view utf8);

// Byte length of the UTF-8 character at the front of `s` (not empty), or 1
// when it is malformed; a sequence cut off at the end counts as one.
size_t Utf8CharLength(std::string_view s);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view s);

// CP932 to UTF-8. A byte sequence that is not valid CP932 becomes one "?"
// per offending byte; the rest of the text is kept.
std::string Cp932ToUtf8(std::string_view cp932);

} // namespace platform
