#pragma once
// A small RTF writer for saved logs: paragraphs of runs, each run with its
// own font, style, size and colour, the text carried as CP932 bytes.
#include "platform/AnsiString.h"

#include <cstdint>
#include <string>
#include <vector>

namespace chat {

struct TRtfRun {
    AnsiString Text;     // CP932, no line breaks
    AnsiString FontName; // CP932
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;
    int HalfPoints = 20; // font size in half points
    uint32_t Rgb = 0;    // 0xRRGGBB
};

using TRtfParagraph = std::vector<TRtfRun>;

// The whole document: a font table and a colour table built from the runs,
// then one \par per paragraph. Bytes of double-byte characters are always
// written as \'xx, so a second byte of 0x5C or 0x7B is never taken for RTF.
std::string WriteRtf(const std::vector<TRtfParagraph>& paragraphs);

} // namespace chat
