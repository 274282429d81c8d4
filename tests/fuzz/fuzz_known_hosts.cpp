// Feeds arbitrary text to the reader of the known-hosts file: it must never
// crash, must give back every line as it was when the file is rewritten, and
// remembering a key must change that address's entry and nothing else.
#include "identity/KnownHosts.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto lines = identity::ParseKnownHosts(text);
    const std::string back = identity::RenderKnownHosts(lines);
    if (back != (text.empty() || text.back() == '\n' ? text : text + "\n")) std::abort();
    for (const auto& line : lines)
        if (line.Fingerprint.has_value() != !line.Address.empty()) std::abort();

    // The address of the first entry, if any, else one of our own.
    std::string address = "fuzz.example:1";
    for (const auto& line : lines)
        if (line.Fingerprint) {
            address = line.Address;
            break;
        }
    identity::TFingerprint fp;
    for (size_t i = 0; i < fp.Bytes.size(); ++i) fp.Bytes[i] = static_cast<uint8_t>(size + i);
    auto changed = lines;
    if (!identity::SetKnownHost(changed, address, fp)) std::abort();
    auto reread = identity::ParseKnownHosts(identity::RenderKnownHosts(changed));
    if (identity::FindKnownHost(reread, address) != fp) std::abort();
    // Every other line stays, in its order.
    size_t at = 0;
    for (const auto& line : lines) {
        if (line.Fingerprint && line.Address == address) continue;
        while (at < reread.size() && reread[at].Address == address && reread[at].Fingerprint) ++at;
        if (at >= reread.size() || reread[at].Text != line.Text) std::abort();
        ++at;
    }
    return 0;
}
