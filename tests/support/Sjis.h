#pragma once
// The program's text is CP932; the tests are written in UTF-8.
#include "platform/Cp932.h"

#include <string>

namespace testsupport {

inline AnsiString Sjis(const char* utf8) {
    return platform::Utf8ToCp932(utf8);
}

inline std::string Utf8(const AnsiString& cp932) {
    return platform::Cp932ToUtf8(cp932);
}

} // namespace testsupport
