// Feeds arbitrary bytes to the payload reader and dispatch, and checks that
// what comes out stays inside what went in.
#include "chat/ChatPayload.h"
#include "chat/LogLines.h"

#include "net/SjisText.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // First byte: length of the sender's player name taken from the front.
    size_t nameLen = size ? std::min<size_t>(data[0], size - 1) : 0;
    std::string name(reinterpret_cast<const char*>(data) + (size ? 1 : 0), nameLen);
    size_t offset = (size ? 1 : 0) + nameLen;
    // A private copy of exactly the payload's size, so an overread is caught.
    size_t n = size - offset;
    auto* payload = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (n) std::memcpy(payload, data + offset, n);

    chat::TPayloadEvents events;
    events.OnText = [&](const AnsiString& from, const AnsiString& text) {
        if (from != name || text.size() + 8 > n || text.find('\0') != AnsiString::npos)
            std::abort();
        for (const AnsiString& line : chat::LogEntryLines(from, text))
            if (line.size() > text.size() + from.size() + 2) std::abort();
    };
    events.OnGameLine = [&](const AnsiString& line) {
        if (line.empty()) std::abort();
    };
    auto result = chat::DispatchPayload(name, payload, n, events);
    if (result != chat::TDispatchResult::Dropped && n < 4) std::abort();

    // The handle rule must agree with the general token routine.
    AnsiString viaToken = name;
    net::GetToken(viaToken, ":");
    if (chat::HandleOf(name) != viaToken) std::abort();

    std::free(payload);
    return 0;
}
