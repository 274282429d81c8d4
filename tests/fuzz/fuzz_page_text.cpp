// Arbitrary bytes as an address page template: the walk over CP932 or UTF-8
// characters stays in bounds, and every template line comes out as exactly
// one page line ended by CR LF.
#include "settings/AddressNotifyPage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const QDateTime at(QDate(2026, 12, 7), QTime(6, 29));
    const AnsiString page = settings::MakePageText(text, "192.168.0.5", [&] { return at; });
    size_t lines = 0;
    for (size_t i = 0; i < page.size(); ++i) {
        if (page[i] == '\r' && i + 1 < page.size() && page[i + 1] == '\n') {
            ++lines;
            ++i;
        } else if (page[i] == '\r' || page[i] == '\n') {
            std::abort(); // a line end inside a line
        }
    }
    if (lines != settings::SplitPageLines(text).size()) std::abort();
    if (!page.empty() && page.compare(page.size() - 2, 2, "\r\n") != 0) std::abort();
    return 0;
}
