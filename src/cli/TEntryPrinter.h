#pragma once
// Prints the entries of a room's log: in the log's line form, or one JSON
// object per entry.
#include "platform/AnsiString.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

enum class TEntryKind { Text, Arrival, Departure, Game };

class TEntryPrinter {
  public:
    TEntryPrinter(std::FILE* out, bool jsonl) : out_(out), jsonl_(jsonl) {}

    // Prints one entry (sender: a player name, "" for the program's lines;
    // text: CP932) and flushes, so a reader sees it at once. An entry that
    // adds no line to the log prints nothing.
    void Print(TEntryKind kind, const AnsiString& senderName, const AnsiString& text);

    // The printed form of an entry, "" when it adds no line.
    std::string Format(TEntryKind kind, const AnsiString& senderName, const AnsiString& text,
                       std::chrono::system_clock::time_point time) const;

    // A JSON string literal of UTF-8 text.
    static std::string JsonQuote(std::string_view utf8);
    // "2026-12-08T16:01:02.123456Z"
    static std::string FormatTime(std::chrono::system_clock::time_point time);

  private:
    std::FILE* out_;
    bool jsonl_;
};
