#include "platform/Cp932.h"
#include "support/Sjis.h"
#include "text/SjisText.h"

#include <gtest/gtest.h>

using namespace net;
using platform::Utf8ToCp932;

using testsupport::Sjis;

TEST(GetToken, CutsPlayerNamesAtColon) {
    AnsiString s = "192.168.0.2:user1";
    EXPECT_EQ(GetToken(s, ":"), "192.168.0.2");
    EXPECT_EQ(s, "user1");

    s = ":::a:b";
    EXPECT_EQ(GetToken(s, ":"), "a");
    EXPECT_EQ(s, "b");

    s = "abc";
    EXPECT_EQ(GetToken(s, ":"), "abc");
    EXPECT_EQ(s, "");

    s = "";
    EXPECT_EQ(GetToken(s, ":"), "");
    EXPECT_EQ(s, "");
}

TEST(GetToken, NeverCutsInsideDoubleByteCharacters) {
    // 表 is 0x95 0x5C and ソ is 0x83 0x5C: their second byte is "\".
    AnsiString dir = Sjis("表示\\ソフト\\能力");
    ASSERT_EQ(static_cast<unsigned char>(dir[1]), 0x5C);
    EXPECT_EQ(GetToken(dir, "\\"), Sjis("表示"));
    EXPECT_EQ(GetToken(dir, "\\"), Sjis("ソフト"));
    EXPECT_EQ(GetToken(dir, "\\"), Sjis("能力"));
    EXPECT_TRUE(dir.empty());

    // A lead byte followed by ":" (0x3A) pairs up as one character, so that
    // ":" belongs to it and is no delimiter.
    AnsiString name = std::string("\x89\x3A") + "x:y";
    EXPECT_EQ(GetToken(name, ":"), std::string("\x89\x3A") + "x");
    EXPECT_EQ(name, "y");
}

TEST(GetToken, CrLfDelimiterSetSplitsLinesAndSkipsTheOtherByte) {
    AnsiString s = "line1\r\nline2";
    EXPECT_EQ(GetToken(s, "\r\n"), "line1");
    EXPECT_EQ(s, "\nline2");
    EXPECT_EQ(GetToken(s, "\r\n"), "line2");
    EXPECT_EQ(s, "");
}

TEST(SplitAtDelimiter, EmptyInputsAndMissingDelimiter) {
    AnsiString s = "a;b";
    EXPECT_EQ(SplitAtDelimiter(s, ""), "a;b");
    EXPECT_EQ(s, "");
    s = ";a";
    EXPECT_EQ(SplitAtDelimiter(s, ";"), ""); // no skipping of leading delimiters here
    EXPECT_EQ(s, "a");
    s = "10.0.0.1;10.0.0.2;";
    EXPECT_EQ(SplitAtDelimiter(s, ";"), "10.0.0.1");
    EXPECT_EQ(SplitAtDelimiter(s, ";"), "10.0.0.2");
    EXPECT_EQ(s, "");
}

TEST(CharPos, CountsCharactersNotBytes) {
    AnsiString text = Sjis("日本##IPADDRESS##です");
    EXPECT_EQ(CharPos("##IPADDRESS##", text), 3);
    EXPECT_EQ(CharPos("", text), 0);
    EXPECT_EQ(CharPos("x", ""), 0);
    EXPECT_EQ(CharPos("abc", "ab"), 0);
    EXPECT_EQ(CharPos("b", "ab"), 2);
    // "\" hidden in the second byte of 表 is not a character start.
    EXPECT_EQ(CharPos("\\", Sjis("表")), 0);
    EXPECT_EQ(CharPos("\\", Sjis("表\\")), 2);
}

TEST(BytePosDbcs, SkipsHitsOnSecondBytes) {
    EXPECT_EQ(BytePosDbcs("\\", Sjis("表\\")), 3);
    EXPECT_EQ(BytePosDbcs("\\", Sjis("表")), 0);
    EXPECT_EQ(BytePosDbcs("b", "abcb"), 2);
    EXPECT_EQ(BytePosDbcs("", "abc"), 0);
}

TEST(CopyAndDeleteChars, WorkOnWholeCharacters) {
    AnsiString text = Sjis("あいうえお");
    EXPECT_EQ(CopyChars(text, 2, 2), Sjis("いう"));
    EXPECT_EQ(CopyChars(text, 4, 100), Sjis("えお"));
    EXPECT_EQ(CopyChars(text, 1, 0), "");
    EXPECT_EQ(CopyChars("", 1, 3), "");
    EXPECT_EQ(CopyChars("abc", 0, 2), "a"); // characters 0 and 1: only 1 exists

    AnsiString t = text;
    DeleteChars(t, 2, 2);
    EXPECT_EQ(t, Sjis("あえお"));
    t = text;
    DeleteChars(t, 0, 1); // a start below 1 counts as 1
    EXPECT_EQ(t, Sjis("いうえお"));
    t = text;
    DeleteChars(t, 9, 1); // beyond the end: nothing happens
    EXPECT_EQ(t, text);
}

TEST(IsTrailByte, FollowsRunsOfLeadBytes) {
    AnsiString t = Sjis("a表b");
    EXPECT_FALSE(IsTrailByte(t, 1));
    EXPECT_FALSE(IsTrailByte(t, 2));
    EXPECT_TRUE(IsTrailByte(t, 3));
    EXPECT_FALSE(IsTrailByte(t, 4));
    // Two characters whose second bytes are themselves lead-byte values.
    AnsiString run = "\x88\x9F\x88\x9F";
    EXPECT_TRUE(IsTrailByte(run, 2));
    EXPECT_FALSE(IsTrailByte(run, 3));
    EXPECT_TRUE(IsTrailByte(run, 4));
    EXPECT_THROW(IsTrailByte(t, 0), platform::Exception);
    EXPECT_THROW(IsTrailByte(t, 5), platform::Exception);
    try {
        IsTrailByte("", 1);
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.Message, "Illegal Index");
    }
}

TEST(IsIntegerText, DigitsWithOptionalLeadingMinus) {
    EXPECT_TRUE(IsIntegerText("230"));
    EXPECT_TRUE(IsIntegerText("-12"));
    EXPECT_TRUE(IsIntegerText("-"));
    EXPECT_FALSE(IsIntegerText("1-2"));
    EXPECT_FALSE(IsIntegerText("2a0"));
    EXPECT_FALSE(IsIntegerText(""));
}

TEST(TextRoutines, LoneLeadByteAtTheEndIsHandledInBounds) {
    AnsiString t = "ab\x82";
    EXPECT_EQ(CopyChars(t, 3, 1), "\x82");
    EXPECT_EQ(CharPos("\x82", t), 3);
    AnsiString u = t;
    EXPECT_EQ(GetToken(u, ":"), t);
    u = t;
    DeleteChars(u, 3, 5);
    EXPECT_EQ(u, "ab");
    EXPECT_FALSE(IsTrailByte(t, 3));
}
