#pragma once
// Text routines that treat text as Shift-JIS: a character is one byte, or a
// lead byte and one more. The second byte of a double-byte character is never
// taken for a character of its own, so 0x5C or 0x3A inside a Japanese
// character is not "\" or ":". Positions count from 1. No routine reads past
// the end of its text, also when the last byte is a lone lead byte.
#include "platform/AnsiString.h"
#include "platform/Exception.h"

namespace net {

// True when byte `index` (1-based) is the second byte of a double-byte
// character. Raises platform::Exception("Illegal Index") outside 1..length.
bool IsTrailByte(const AnsiString& text, int index);

// Byte position of the first occurrence of `pattern` that does not start on a
// second byte, or 0.
int BytePosDbcs(const AnsiString& pattern, const AnsiString& text);

// Character position of the first occurrence that starts at a character start, or 0.
int CharPos(const AnsiString& pattern, const AnsiString& text);

// Characters start .. start + count - 1, whole.
AnsiString CopyChars(const AnsiString& text, int start, int count);

// Removes `count` characters from character `start` on.
void DeleteChars(AnsiString& text, int start, int count);

// Cuts the text at the first delimiter byte that is a character of its own:
// returns what stands before it and leaves what follows it.
AnsiString SplitAtDelimiter(AnsiString& text, const AnsiString& delimiters);

// Skips leading delimiters, then SplitAtDelimiter.
AnsiString GetToken(AnsiString& text, const AnsiString& delimiters);

// Digits only, optionally after one leading minus sign (a lone "-" counts).
bool IsIntegerText(const AnsiString& text);

} // namespace net
