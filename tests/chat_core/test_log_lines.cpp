#include "chat_core/LogLines.h"

#include "platform/Cp932.h"

#include <gtest/gtest.h>

using Lines = std::vector<AnsiString>;

TEST(LogLines, OneLineJoinsTheHeader) {
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "  hello  "), Lines{"<taro>hello"});
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "hello\r\n"), Lines{"<taro>hello"});
    // No sender: the program's own line, no header at all.
    EXPECT_EQ(chat::LogEntryLines("", "  x  "), Lines{"x"});
    // A player name without ":" gives the empty header.
    EXPECT_EQ(chat::LogEntryLines("nocolon", "hi"), Lines{"<>hi"});
}

TEST(LogLines, SeveralLinesPutTheHeaderFirst) {
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "a\r\nb"), (Lines{"<taro>", "a", "b"}));
    // A blank-only line becomes an empty line and stays.
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "a\r\n \t \r\nb"),
              (Lines{"<taro>", "a", "", "b"}));
    // A run of line breaks separates just two lines.
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "a\r\n\r\nb"), (Lines{"<taro>", "a", "b"}));
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "a\n\r\r\nb\rc"),
              (Lines{"<taro>", "a", "b", "c"}));
    // Without sender the header is an empty line of its own.
    EXPECT_EQ(chat::LogEntryLines("", "a\nb"), (Lines{"", "a", "b"}));
}

TEST(LogLines, EmptyLastLineDroppedOnce) {
    EXPECT_TRUE(chat::LogEntryLines("1.2.3.4:taro", "").empty());
    EXPECT_TRUE(chat::LogEntryLines("1.2.3.4:taro", " \t\x01 ").empty());
    // Only line breaks: the run splits "" from "", the last goes, a bare header stays.
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:taro", "\r\n\r\n"), Lines{"<taro>"});
    EXPECT_EQ(chat::SplitEntryText("a\r\n \r\n"), (Lines{"a", ""}));
    EXPECT_EQ(chat::SplitEntryText("\r\nb"), (Lines{"", "b"}));
}

TEST(LogLines, JapaneseBytesAreKept) {
    // Bytes above 0x80 are not blanks, even though they are negative as char.
    AnsiString text = platform::Utf8ToCp932("　表示ー①");
    EXPECT_EQ(chat::SplitEntryText(" " + text + std::string("\0", 1)), Lines{text});
    AnsiString handle = platform::Utf8ToCp932("花子");
    EXPECT_EQ(chat::LogEntryLines("1.2.3.4:" + handle, "x"), Lines{"<" + handle + ">x"});
}
