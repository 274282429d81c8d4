#include "platform/Cp932.h"

#include <gtest/gtest.h>

using platform::Cp932ToUtf8;
using platform::Utf8ToCp932;

TEST(Cp932, JapaneseRoundTripsWithTheExpectedBytes) {
    // Characters whose second byte is "\" or ":"-like, and NEC/IBM extensions.
    struct Case {
        const char* utf8;
        std::string cp932;
    } cases[] = {
        {"表", "\x95\x5C"}, {"ソ", "\x83\x5C"}, {"能", "\x94\x5C"},
        {"ー", "\x81\x5B"}, {"①", "\x87\x40"},  {"㈱", "\x87\x8A"},
        {"～", "\x81\x60"}, {"ｱ", "\xB1"},      {"abc", "abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToCp932(c.utf8), c.cp932) << c.utf8;
        EXPECT_EQ(Cp932ToUtf8(c.cp932), c.utf8) << c.utf8;
    }
    std::string sentence = "こんにちは、表示ソフトの能力①～㈱です。";
    EXPECT_EQ(Cp932ToUtf8(Utf8ToCp932(sentence)), sentence);
}

TEST(Cp932, UnrepresentableCharactersBecomeQuestionMarksAndTheRestSurvives) {
    EXPECT_EQ(Utf8ToCp932("a😀b"), "a?b");
    EXPECT_EQ(Utf8ToCp932("日本\xC3\x28語"), Utf8ToCp932("日本") + "?(" + Utf8ToCp932("語"));
    EXPECT_EQ(Utf8ToCp932("x\xE3\x81"), "x?"); // cut off at the end
    EXPECT_EQ(Utf8ToCp932(""), "");
}

TEST(Cp932, InvalidCp932BytesBecomeQuestionMarks) {
    EXPECT_EQ(Cp932ToUtf8("a\x82"), "a?"); // lone lead byte at the end
    EXPECT_EQ(Cp932ToUtf8("\x82"
                          "A"),
              "?A"); // lead byte with an invalid partner keeps the partner
    EXPECT_EQ(Cp932ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp932, LeadBytes) {
    for (int b = 0; b < 256; ++b) {
        bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        EXPECT_EQ(platform::IsLeadByte(static_cast<unsigned char>(b)), lead) << b;
    }
}

TEST(Cp932, LargeTextsConvertWhole) {
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "表ソ能ー①～abc";
    auto cp = Utf8ToCp932(big);
    EXPECT_EQ(Cp932ToUtf8(cp), big);
}
