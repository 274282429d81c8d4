// Feeds arbitrary text to the reader of typed host addresses: it must never
// crash, every refusal must say why, and every address it takes must read
// back the same from the form it shows.
#include "entry/TypedAddress.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const entry::TAddressParse p = entry::ParseTypedAddress(text);
    if (!p.Address) {
        if (p.Error == entry::TAddressError::None || p.Message().empty() || p.English().empty())
            std::abort();
        return 0;
    }
    const entry::TTypedAddress& a = *p.Address;
    if (p.Error != entry::TAddressError::None || a.Host.empty() || size == 0) std::abort();
    if (a.Host.size() > entry::kMaxTypedAddress) std::abort();
    for (char c : a.Host)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F ||
            c == '[' || c == ']' || c == '%')
            std::abort();
    // Only an IPv6 address holds ":"; a name or IPv4 address never does.
    if ((a.Kind == entry::TTypedAddress::IPv6) != (a.Host.find(':') != std::string::npos))
        std::abort();
    const entry::TAddressParse again = entry::ParseTypedAddress(a.Text());
    if (!again.Address || !(*again.Address == a)) std::abort();
    return 0;
}
