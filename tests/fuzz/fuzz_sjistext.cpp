// Runs every text routine on arbitrary bytes; AddressSanitizer catches any
// read past the end, and the checks catch routines that lose bytes.
#include "text/SjisText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t split = data[0] % size;
    AnsiString delims(reinterpret_cast<const char*>(data + 1), split > 0 ? split - 1 : 0);
    AnsiString text(reinterpret_cast<const char*>(data + 1 + delims.size()),
                    size - 1 - delims.size());

    for (int i = 1; i <= static_cast<int>(text.size()); ++i)
        net::IsTrailByte(text, i);
    net::BytePosDbcs(delims, text);
    net::CharPos(delims, text);
    net::IsIntegerText(text);
    int n = static_cast<int>(data[0] & 7);
    AnsiString copy = net::CopyChars(text, n, n + 1);
    if (copy.size() > text.size()) std::abort();
    AnsiString del = text;
    net::DeleteChars(del, n, n);
    if (del.size() > text.size()) std::abort();

    // Splitting loses at most the delimiter bytes it consumes.
    AnsiString rest = text;
    size_t total = 0, guard = 0;
    while (!rest.empty() && guard++ <= text.size()) {
        size_t before = rest.size();
        AnsiString token = net::GetToken(rest, delims);
        total += token.size();
        if (rest.size() >= before && !rest.empty()) std::abort(); // no progress
    }
    if (total > text.size()) std::abort();
    return 0;
}
