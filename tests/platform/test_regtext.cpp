// The REGEDIT4 text of the settings files, without files: what is read, what
// is written, and how names compare and paths split.
#include "platform/Cp932.h"
#include "platform/RegText.h"
#include "support/Sjis.h"

#include <gtest/gtest.h>

using namespace platform;

using testsupport::Sjis;

TEST(RegText, NamesFoldAsciiCaseOnlyAndPathsSplitAtWholeBackslashes) {
    EXPECT_TRUE(RegNamesEqual("Software\\Parlora3", "SOFTWARE\\parlora3"));
    EXPECT_FALSE(RegNamesEqual("abc", "abd"));
    EXPECT_FALSE(RegNamesEqual("ab", "abc"));
    // Both bytes of a double-byte character must match: "ａ" is not "Ａ",
    // and a second byte that looks like a letter is not folded.
    EXPECT_FALSE(RegNamesEqual(Sjis("ａ"), Sjis("Ａ")));
    EXPECT_FALSE(RegNamesEqual("\x82\x61", "\x82\x41"));
    EXPECT_TRUE(RegNamesEqual(Sjis("表ソ"), Sjis("表ソ")));
    // A name may end in a lone lead byte.
    EXPECT_TRUE(RegNamesEqual("A\x81", "a\x81"));

    EXPECT_EQ(SplitRegPath("\\SOFTWARE\\\\Parlora3\\"),
              (std::vector<AnsiString>{"SOFTWARE", "Parlora3"}));
    EXPECT_EQ(SplitRegPath(Sjis("表\\ソ")), (std::vector<AnsiString>{Sjis("表"), Sjis("ソ")}));
    EXPECT_TRUE(SplitRegPath("\\\\").empty());
}

TEST(RegText, LinesItCannotUseAreSkippedAndCounted) {
    const std::string text = "REGEDIT4\r\n"
                             "\"orphan\"=\"no key yet\"\r\n"
                             "[HKEY_CURRENT_USER\\Other]\r\n"
                             "\"x\"=\"other root\"\r\n"
                             "[-HKEY_LOCAL_MACHINE\\Gone]\r\n"
                             "[HKEY_LOCAL_MACHINEX\\Near]\r\n"
                             "[HKEY_LOCAL_MACHINE\\Kept]\r\n"
                             "; a comment\r\n"
                             "\"ok\"=dword:0000002a\r\n"
                             "\"bad\"=dword:xyz\r\n"
                             "\"open\"=\"no end\r\n"
                             "garbage\r\n";
    RegKey root;
    // orphan, the other root's header and value, the deletion, the near
    // miss, the bad dword, the open string, the garbage.
    EXPECT_EQ(ParseRegText(text, "HKEY_LOCAL_MACHINE", root), 8u);
    ASSERT_EQ(root.SubKeys.size(), 1u);
    EXPECT_EQ(root.SubKeys[0]->Name, "Kept");
    ASSERT_EQ(root.SubKeys[0]->Values.size(), 1u);
    EXPECT_EQ(root.SubKeys[0]->Values[0].Type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(root.SubKeys[0]->Values[0].Data, std::string("\x2a\0\0\0", 4));
    // The same name again, in another case: the later line wins, in place.
    RegKey twice;
    EXPECT_EQ(ParseRegText("[HKEY_LOCAL_MACHINE\\k]\n\"A\"=\"1\"\n\"b\"=\"2\"\n\"a\"=\"3\"\n",
                           "HKEY_LOCAL_MACHINE", twice),
              0u);
    ASSERT_EQ(twice.SubKeys[0]->Values.size(), 2u);
    EXPECT_EQ(twice.SubKeys[0]->Values[0].Data, "3");
}

// Every short string over the bytes that trouble a REGEDIT4 quoted string
// (lead bytes, the backslash that is also a second byte, the quote, bytes that
// are no second byte) survives a write and a read, as data and as a name.
TEST(RegText, EveryTrickyByteStringRoundTripsAsDataAndName) {
    const std::string alphabet = "\x81\x5c\x22"
                                 "a\x40\xfc\xfd\x20";
    std::vector<std::string> all{""};
    for (size_t from = 0, len = 1; len <= 4; ++len) {
        size_t to = all.size();
        for (size_t i = from; i < to; ++i)
            for (char c : alphabet)
                all.push_back(all[i] + c);
        from = to;
    }
    RegKey root;
    RegKey* data = root.FindOrAdd("data");
    RegKey* names = root.FindOrAdd("names");
    for (size_t i = 0; i < all.size(); ++i) {
        data->Values.push_back(RegValue{"v" + std::to_string(i), REG_SZ, all[i]});
        if (!all[i].empty())
            names->Values.push_back(RegValue{all[i], REG_DWORD, std::string("\1\0\0\0", 4)});
    }
    RegKey back;
    ASSERT_EQ(
        ParseRegText(SerialiseRegText(root, "HKEY_LOCAL_MACHINE"), "HKEY_LOCAL_MACHINE", back), 0u);
    ASSERT_EQ(back.SubKeys.size(), 2u);
    const auto& d = back.SubKeys[0]->Values;
    ASSERT_EQ(d.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(d[i].Data, all[i]) << "data #" << i;
    const auto& n = back.SubKeys[1]->Values;
    ASSERT_EQ(n.size(), all.size() - 1);
    for (size_t i = 1; i < all.size(); ++i)
        ASSERT_EQ(n[i - 1].Name, all[i]) << "name #" << i;
}

TEST(RegText, WindowsExportsAndOlderFilesReadAsMeant) {
    // As the registry editor of a Japanese Windows exports: the 0x5C of ソ and 表
    // is a second byte, never an escape, also right before the closing quote.
    std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3\\handles]\r\n"
                       "\"0\"=\"" +
                       Sjis("ソ") +
                       "\"\r\n"
                       "\"" +
                       Sjis("表") + "\"=\"C:\\\\" + Sjis("表示") +
                       "\\\\\"\r\n"
                       "\"2\"=\"" +
                       Sjis("ソ") +
                       "\\\"q\\\"\"\r\n"
                       // Written by an earlier version: a lone lead byte before \" unescaped.
                       "\"3\"=\"\x81\\\"a\"\r\n"
                       "\"\x81\\\"\"=\"old name\"\r\n";
    RegKey root;
    ASSERT_EQ(ParseRegText(text, "HKEY_LOCAL_MACHINE", root), 0u);
    const auto& v = root.Find("SOFTWARE")->Find("Parlora3")->Find("handles")->Values;
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].Data, Sjis("ソ"));
    EXPECT_EQ(v[1].Name, Sjis("表"));
    EXPECT_EQ(v[1].Data, "C:\\" + Sjis("表示") + "\\");
    EXPECT_EQ(v[2].Data, Sjis("ソ") + "\"q\"");
    EXPECT_EQ(v[3].Data, "\x81\"a");
    EXPECT_EQ(v[4].Name, "\x81\"");
    // What we write of them is what Windows would write, and reads back the same.
    std::string again = SerialiseRegText(root, "HKEY_LOCAL_MACHINE");
    EXPECT_NE(again.find("\"0\"=\"" + Sjis("ソ") + "\"\r\n"), std::string::npos);
    RegKey back;
    ASSERT_EQ(ParseRegText(again, "HKEY_LOCAL_MACHINE", back), 0u);
    EXPECT_EQ(SerialiseRegText(back, "HKEY_LOCAL_MACHINE"), again);
}
