#include "RtfWriter.h"

#include "platform/Cp932.h"

#include <algorithm>
#include <cstdio>

namespace chat {
namespace {

void AppendHexByte(std::string& out, unsigned char b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\'%02x", b);
    out += buf;
}

// `fontName` also hides ";", which would end a font table entry.
void AppendText(std::string& out, const AnsiString& text, bool fontName = false) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (platform::IsLeadByte(b) && i + 1 < text.size()) {
            AppendHexByte(out, b);
            AppendHexByte(out, static_cast<unsigned char>(text[++i]));
        } else if (b == '\\' || b == '{' || b == '}') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b >= 0x80 || (fontName && b == ';')) {
            AppendHexByte(out, b);
        } else {
            out += static_cast<char>(b);
        }
    }
}

template <class T> size_t IndexIn(std::vector<T>& list, const T& value) {
    auto it = std::find(list.begin(), list.end(), value);
    if (it != list.end()) return static_cast<size_t>(it - list.begin());
    list.push_back(value);
    return list.size() - 1;
}

} // namespace

std::string WriteRtf(const std::vector<TRtfParagraph>& paragraphs) {
    std::vector<AnsiString> fonts;
    std::vector<uint32_t> colors;
    for (const TRtfParagraph& p : paragraphs)
        for (const TRtfRun& r : p) {
            IndexIn(fonts, r.FontName);
            IndexIn(colors, r.Rgb);
        }
    if (fonts.empty()) fonts.push_back("MS PGothic");

    std::string out = "{\\rtf1\\ansi\\ansicpg932\\deff0\\deflang1041{\\fonttbl";
    for (size_t i = 0; i < fonts.size(); ++i) {
        out += "{\\f" + std::to_string(i) + "\\fnil\\fcharset128 ";
        AppendText(out, fonts[i], true);
        out += ";}";
    }
    out += "}\r\n{\\colortbl ;";
    for (uint32_t c : colors)
        out += "\\red" + std::to_string((c >> 16) & 0xFF) + "\\green" +
               std::to_string((c >> 8) & 0xFF) + "\\blue" + std::to_string(c & 0xFF) + ";";
    out += "}\r\n\\viewkind4\\uc1\\pard\r\n";

    for (const TRtfParagraph& p : paragraphs) {
        for (const TRtfRun& r : p) {
            out += "{\\f" + std::to_string(IndexIn(fonts, r.FontName)) + "\\fs" +
                   std::to_string(r.HalfPoints) + "\\cf" +
                   std::to_string(IndexIn(colors, r.Rgb) + 1);
            if (r.Bold) out += "\\b";
            if (r.Italic) out += "\\i";
            if (r.Underline) out += "\\ul";
            if (r.StrikeOut) out += "\\strike";
            out += ' ';
            AppendText(out, r.Text);
            out += '}';
        }
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}

} // namespace chat
