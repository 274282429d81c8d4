// Arbitrary bytes as a template file: parsing must stay in bounds, and what
// was read must come back unchanged after a write and a second read.
#include "templates/TemplateFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto first = templates::ParseTemplates(text);
    for (const auto& t : first)
        if (t.empty()) std::abort(); // a template has at least one line
    // Lines holding the marker itself split on the way back; others survive.
    bool marker = false;
    for (const auto& t : first)
        for (const auto& line : t)
            marker |= line == "[TEMPLATE]";
    if (!marker && templates::ParseTemplates(templates::SerialiseTemplates(first)) != first)
        std::abort();
    return 0;
}
