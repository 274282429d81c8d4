#pragma once
// How one log entry (a sender and a text) becomes the lines it adds to a
// chat log. Shared by the chat window's log and the headless member.
#include "platform/AnsiString.h"

#include <vector>

namespace chat {

// The text's lines: split at CR and LF (a run of them separates just two
// lines), each stripped of leading and trailing bytes 0 to 32; a line that
// was blank stays as an empty line, except that one empty last line is
// dropped.
std::vector<AnsiString> SplitEntryText(const AnsiString& text);

// The lines an entry adds, in order. `senderName` is a player name, or empty
// for the program's own lines. No text lines: nothing. One: header and line
// joined ("<taro>hello"). Several: the header ("<" + handle + ">", or empty
// without sender) as a line of its own, then the text lines; so whenever
// more than one line is returned, the first is the header.
std::vector<AnsiString> LogEntryLines(const AnsiString& senderName, const AnsiString& text);

} // namespace chat
