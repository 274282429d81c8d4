// Feeds arbitrary bytes to the settings file parser, then checks that what
// was loaded survives a write and a second read unchanged, and that the
// input's bytes, stored as a string, a name and binary data, read back as
// they were.
#include "platform/RegText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using platform::ParseRegText;
using platform::RegKey;
using platform::RegValue;
using platform::SerialiseRegText;

namespace {

const char* const kRoot = "HKEY_LOCAL_MACHINE";

void Same(const RegKey& a, const RegKey& b) {
    if (a.Name != b.Name || a.Values.size() != b.Values.size() ||
        a.SubKeys.size() != b.SubKeys.size())
        std::abort();
    for (size_t i = 0; i < a.Values.size(); ++i)
        if (a.Values[i].Name != b.Values[i].Name || a.Values[i].Type != b.Values[i].Type ||
            a.Values[i].Data != b.Values[i].Data)
            std::abort();
    for (size_t i = 0; i < a.SubKeys.size(); ++i)
        Same(*a.SubKeys[i], *b.SubKeys[i]);
}

// Writes the tree, reads it back, and checks nothing changed or was skipped.
void RoundTrip(const RegKey& tree) {
    std::string written = SerialiseRegText(tree, kRoot);
    RegKey again;
    if (ParseRegText(written, kRoot, again) != 0) std::abort();
    Same(tree, again);
    if (SerialiseRegText(again, kRoot) != written) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    RegKey loaded;
    ParseRegText(text, kRoot, loaded);
    RoundTrip(loaded);

    // Any bytes the program may store: a string ends at its first zero byte
    // (as the writer cuts it), a name holds no line break, binary data anything.
    if (size > 100000) return 0;
    std::string str = text.substr(0, text.find('\0'));
    std::string name;
    for (char c : text)
        if (c != '\r' && c != '\n') name += c;
    RegKey stored;
    RegKey* key = stored.FindOrAdd("SOFTWARE")->FindOrAdd("Parlora3");
    key->Values.push_back(RegValue{"s", platform::REG_SZ, str});
    key->Values.push_back(RegValue{"e", platform::REG_EXPAND_SZ, str});
    key->Values.push_back(RegValue{"b", platform::REG_BINARY, text});
    if (!name.empty() && !key->FindValue(name))
        key->Values.push_back(RegValue{name, platform::REG_DWORD, std::string(4, '\x01')});
    RoundTrip(stored);
    return 0;
}
