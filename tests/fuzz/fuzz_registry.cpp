// Feeds arbitrary bytes to the settings file parser, then checks that what
// was loaded survives a write and a second read unchanged.
#include "platform/RegStore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using platform::RegStore;

namespace {
void Same(const RegStore::Key& a, const RegStore::Key& b) {
    if (a.Values.size() != b.Values.size() || a.SubKeys.size() != b.SubKeys.size()) std::abort();
    for (size_t i = 0; i < a.Values.size(); ++i)
        if (a.Values[i].Type != b.Values[i].Type || a.Values[i].Data != b.Values[i].Data)
            std::abort();
    for (size_t i = 0; i < a.SubKeys.size(); ++i)
        Same(*a.SubKeys[i], *b.SubKeys[i]);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    RegStore::Key first;
    RegStore::Parse(text, "HKEY_LOCAL_MACHINE", first);
    std::string written = RegStore::Serialise(first, "HKEY_LOCAL_MACHINE");
    RegStore::Key second;
    if (RegStore::Parse(written, "HKEY_LOCAL_MACHINE", second) != 0) std::abort();
    Same(first, second);
    return 0;
}
