#include "TEntryPrinter.h"

#include "chat_core/ChatPayload.h"
#include "chat_core/LogLines.h"
#include "platform/Cp932.h"

#include <ctime>

namespace {

const char* KindName(TEntryKind kind) {
    switch (kind) {
    case TEntryKind::Text:
        return "text";
    case TEntryKind::Arrival:
        return "arrival";
    case TEntryKind::Departure:
        return "departure";
    case TEntryKind::Game:
        return "game";
    }
    return "text";
}

// A terminal obeys control characters: one from the room (an escape that
// clears the screen, a carriage return that overwrites a line) is shown as
// ^X instead. Tabs stay.
std::string Showable(std::string line) {
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\t') || b == 0x7F) {
            out += '^';
            out += static_cast<char>(b ^ 0x40);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

void TEntryPrinter::Print(TEntryKind kind, const AnsiString& senderName, const AnsiString& text) {
    std::string out = Format(kind, senderName, text, std::chrono::system_clock::now());
    if (out.empty()) return;
    // A reader that went away is no reason to leave the room.
    std::fwrite(out.data(), 1, out.size(), out_);
    std::fflush(out_);
}

std::string TEntryPrinter::Format(TEntryKind kind, const AnsiString& senderName,
                                  const AnsiString& text,
                                  std::chrono::system_clock::time_point time) const {
    std::string out;
    if (!jsonl_) {
        for (const AnsiString& line : chat::LogEntryLines(senderName, text)) {
            out += Showable(platform::Cp932ToUtf8(line));
            out += '\n';
        }
        return out;
    }
    auto lines = chat::SplitEntryText(text);
    if (lines.empty()) return out;
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) joined += '\n';
        joined += platform::Cp932ToUtf8(lines[i]);
    }
    out = "{\"time\":" + JsonQuote(FormatTime(time)) + ",\"kind\":" + JsonQuote(KindName(kind)) +
          ",\"sender\":" + JsonQuote(platform::Cp932ToUtf8(senderName)) +
          ",\"handle\":" + JsonQuote(platform::Cp932ToUtf8(chat::HandleOf(senderName))) +
          ",\"text\":" + JsonQuote(joined) + "}\n";
    return out;
}

std::string TEntryPrinter::JsonQuote(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20 || b == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", b);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string TEntryPrinter::FormatTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(us / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%06lldZ", static_cast<long long>(us % 1000000));
    return buf;
}
