// Feeds arbitrary bytes to the payload reader and dispatch, and checks that
// what comes out stays inside what went in.
#include "chat_core/ChatPayload.h"
#include "chat_core/LogLines.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
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
    std::optional<AnsiString> got;
    events.OnText = [&](const AnsiString& from, const AnsiString& text) {
        if (from != name || text.size() + 8 > n || text.find('\0') != AnsiString::npos)
            std::abort();
        got = text;
        for (const AnsiString& line : chat::LogEntryLines(from, text))
            if (line.size() > text.size() + from.size() + 2) std::abort();
    };
    events.OnGameLine = [&](const AnsiString& line) {
        if (line.empty()) std::abort();
    };
    auto result = chat::DispatchPayload(name, payload, n, events);
    if (result != chat::TDispatchResult::Dropped && n < 4) std::abort();
    if ((result == chat::TDispatchResult::Text) != got.has_value()) std::abort();

    // A text read from a payload, sent on as we build it, arrives unchanged.
    if (got) {
        chat::TPayload again = chat::BuildChatText(*got);
        if (chat::ReadChatText(again.data(), again.size()) != got) std::abort();
        chat::TPayloadEvents echo;
        std::optional<AnsiString> echoed;
        echo.OnText = [&](const AnsiString&, const AnsiString& text) { echoed = text; };
        if (chat::DispatchPayload(name, again.data(), again.size(), echo) !=
                chat::TDispatchResult::Text ||
            echoed != got)
            std::abort();
    }

    // The handle is the end of the name; and whatever bytes a handle holds,
    // every kind of address before it gives it back whole.
    const AnsiString handle = chat::HandleOf(name);
    if (handle.size() > name.size() ||
        name.compare(name.size() - handle.size(), handle.size(), handle) != 0)
        std::abort();
    for (const char* address : {"", "192.168.0.5", "[2001:db8::5]"})
        if (chat::HandleOf(address + (":" + name)) != name) std::abort();

    std::free(payload);
    return 0;
}
