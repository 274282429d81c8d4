#include "chat_core/ChatPayload.h"

#include "platform/Cp932.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using chat::TDispatchResult;
using platform::Utf8ToCp932;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// Records every event a payload raises, in order, as readable strings.
struct TRecorder {
    std::vector<std::string> Seen;
    chat::TPayloadEvents Events() {
        chat::TPayloadEvents e;
        e.OnText = [this](const AnsiString& from, const AnsiString& text) {
            Seen.push_back("text " + from + "|" + text);
        };
        e.OnGameLine = [this](const AnsiString& line) { Seen.push_back("line " + line); };
        e.OnJyankenReset = [this](const AnsiString& h) { Seen.push_back("reset " + h); };
        e.OnJyankenDecided = [this](const AnsiString& h) { Seen.push_back("decided " + h); };
        return e;
    }
    TDispatchResult Dispatch(const AnsiString& from, const std::string& payload) {
        return chat::DispatchPayload(from, payload.data(), payload.size(), Events());
    }
};

} // namespace

TEST(ChatPayload, ChatTextBytes) {
    EXPECT_EQ(chat::BuildChatText("abc"),
              Bytes({0, 0, 0, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0, 0}));
    EXPECT_EQ(chat::BuildChatText(""), Bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    auto two = chat::BuildChatText("a\r\nb");
    ASSERT_EQ(two.size(), 17u);
    EXPECT_EQ(two.substr(4, 4), Bytes({5, 0, 0, 0}));
    EXPECT_EQ(chat::ReadChatText(two.data(), two.size()), "a\r\nb");
}

TEST(ChatPayload, GameBytesAreLittleEndian) {
    EXPECT_EQ(chat::BuildJyankenDecide(5), Bytes({1, 0, 0, 0, 5, 0, 0, 0}));
    EXPECT_EQ(chat::BuildJyankenReveal(-1), Bytes({2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(chat::BuildJyankenReveal(0x01020304), Bytes({2, 0, 0, 0, 4, 3, 2, 1}));
}

TEST(ChatPayload, JapaneseTextRoundTripsUnchanged) {
    // 表 and ソ end in 0x5C, 能 in 0x5C too; the text is bytes, never converted.
    AnsiString text = Utf8ToCp932("表ソ能ー①㈱～\r\nこんにちは");
    auto p = chat::BuildChatText(text);
    EXPECT_EQ(chat::ReadChatText(p.data(), p.size()), text);
}

TEST(ChatPayload, HandleRule) {
    EXPECT_EQ(chat::HandleOf("192.168.0.5:taro"), "taro");
    EXPECT_EQ(chat::HandleOf("10.0.0.1:a:b"), "a:b");
    EXPECT_EQ(chat::HandleOf("nocolon"), "");
    EXPECT_EQ(chat::HandleOf(""), "");
    EXPECT_EQ(chat::HandleOf("1.2.3.4:"), "");
    // An empty own address leaves the ":" before the handle first.
    EXPECT_EQ(chat::HandleOf(":hanako"), "hanako");
    EXPECT_EQ(chat::HandleOf("::x"), ":x");
    EXPECT_EQ(chat::HandleOf(":::"), "::");
    // An IPv6 address comes in brackets and is passed over whole.
    EXPECT_EQ(chat::HandleOf("[2001:db8::5]:hanako"), "hanako");
    EXPECT_EQ(chat::HandleOf("[::1]:a:b"), "a:b");
    EXPECT_EQ(chat::HandleOf("[::1]:[x]:y"), "[x]:y");
    EXPECT_EQ(chat::HandleOf("[::1]:a]b"), "a]b");
    EXPECT_EQ(chat::HandleOf("[::1]"), "");
    EXPECT_EQ(chat::HandleOf("[]:x"), "x");
    // Without its "]" the "[" is no address.
    EXPECT_EQ(chat::HandleOf("[::1:x"), ":1:x");
    EXPECT_EQ(chat::HandleOf("[x"), "");
    // A double-byte character whose second byte is 0x3A is not a separator.
    // (No CP932 character ends in 0x3A, but a peer may send one.)
    AnsiString dbcs = Bytes({0x83, 0x3A});
    EXPECT_EQ(chat::HandleOf(dbcs + "x:" + dbcs), dbcs);
    EXPECT_EQ(chat::HandleOf(dbcs + "x"), "");
    EXPECT_EQ(chat::HandleOf(":" + dbcs + ":y"), dbcs + ":y");
    EXPECT_EQ(chat::HandleOf("[" + dbcs + "]:y"), "y");
    // Nor is a "]" that is a second byte (0x5D): the address runs on.
    AnsiString dbcsBracket = Bytes({0x83, 0x5D});
    EXPECT_EQ(chat::HandleOf("[" + dbcsBracket + "]:y"), "y");
    EXPECT_EQ(chat::HandleOf("[" + dbcsBracket + ":y"), "y");
    // A lone lead byte at the end must not swallow past the end.
    EXPECT_EQ(chat::HandleOf("a:" + Bytes({0x83})), Bytes({0x83}));
    EXPECT_EQ(chat::HandleOf("[" + Bytes({0x83})), "");
}

TEST(ChatPayload, DispatchText) {
    TRecorder r;
    EXPECT_EQ(r.Dispatch("1.2.3.4:taro", chat::BuildChatText("hi")), TDispatchResult::Text);
    EXPECT_EQ(r.Dispatch("1.2.3.4:taro", chat::BuildChatText("")), TDispatchResult::Text);
    // The sender is handed over as the full player name; the log takes the handle.
    EXPECT_EQ(r.Seen, (std::vector<std::string>{"text 1.2.3.4:taro|hi", "text 1.2.3.4:taro|"}));
}

TEST(ChatPayload, DispatchGame) {
    TRecorder r;
    const AnsiString from = "1.2.3.4:taro";
    for (int v = 1; v <= 4; ++v)
        EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenDecide(v)), TDispatchResult::Decided);
    // The hand is not shown: every decision gives the same line.
    std::string decided = "line taro" + Utf8ToCp932("がJyankenの手を決めました");
    ASSERT_EQ(r.Seen.size(), 8u);
    for (size_t i = 0; i < 8; i += 2) {
        EXPECT_EQ(r.Seen[i], decided);
        EXPECT_EQ(r.Seen[i + 1], "decided taro");
    }
    // A value the game never sends is still a decision.
    EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenDecide(-7)), TDispatchResult::Decided);

    r.Seen.clear();
    EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenDecide(5)), TDispatchResult::Reset);
    EXPECT_EQ(r.Seen,
              (std::vector<std::string>{
                  "line " + Utf8ToCp932("Jyankenはtaroによってリセットされました"), "reset taro"}));

    const char* reveals[] = {"不明で", "ぐぅを出", "ちょきを出", "ぱぁを出", "棄権"};
    for (int v = 0; v <= 4; ++v) {
        r.Seen.clear();
        EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenReveal(v)), TDispatchResult::Revealed);
        EXPECT_EQ(r.Seen,
                  (std::vector<std::string>{"line taro" + Utf8ToCp932("は") +
                                            Utf8ToCp932(reveals[v]) + Utf8ToCp932("しました")}));
    }
}

TEST(ChatPayload, HostilePayloadsAddNothingAndStayInBounds) {
    TRecorder r;
    const AnsiString from = "1.2.3.4:taro";
    // Reveal values outside 0..4, unknown kinds, short and empty payloads.
    for (int v : {-1, 5, 7, INT32_MIN, INT32_MAX})
        EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenReveal(v)), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({3, 0, 0, 0, 1, 0, 0, 0})), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({0xFF, 0xFF, 0xFF, 0xFF})), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({1, 0, 0, 0, 5, 0, 0})), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({2, 0, 0, 0})), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({0, 0, 0, 0, 4, 0, 0})), TDispatchResult::Dropped);
    EXPECT_EQ(r.Dispatch(from, Bytes({0, 0, 0})), TDispatchResult::Dropped);
    EXPECT_EQ(chat::DispatchPayload(from, nullptr, 16, r.Events()), TDispatchResult::Dropped);
    EXPECT_TRUE(r.Seen.empty());

    // Longer than 8 bytes: the extra bytes are ignored.
    EXPECT_EQ(r.Dispatch(from, chat::BuildJyankenReveal(4) + "junk"), TDispatchResult::Revealed);
}

TEST(ChatPayload, ChatTextLengthIsBoundedByTheData) {
    auto read = [](const std::string& p) { return chat::ReadChatText(p.data(), p.size()); };
    // L far past the end: cut at the end of the data. The buffer is exactly
    // sized (no terminator in reach) so a sanitizer would see an overread.
    std::string huge = Bytes({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}) + "xyz";
    EXPECT_EQ(read(huge), "xyz");
    std::vector<char> exact(huge.begin(), huge.end());
    EXPECT_EQ(chat::ReadChatText(exact.data(), exact.size()), "xyz");
    // L just past the end, and readable bytes behind the payload's size: they
    // are not the payload's.
    std::string behind = Bytes({0, 0, 0, 0, 6, 0, 0, 0}) + "xyzJUNK";
    EXPECT_EQ(chat::ReadChatText(behind.data(), behind.size() - 4), "xyz");
    // Negative or zero L: empty text, still a text.
    EXPECT_EQ(read(Bytes({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}) + "xyz"), "");
    EXPECT_EQ(read(Bytes({0, 0, 0, 0, 0, 0, 0, 0x80}) + "xyz"), "");
    EXPECT_EQ(read(Bytes({0, 0, 0, 0, 0, 0, 0, 0}) + "xyz"), "");
    // L shorter than the text: at most L bytes; a zero byte ends it earlier.
    EXPECT_EQ(read(Bytes({0, 0, 0, 0, 2, 0, 0, 0}) + "xyz"), "xy");
    EXPECT_EQ(read(Bytes({0, 0, 0, 0, 9, 0, 0, 0}) + std::string("x\0yz", 4)), "x");
    // Bytes that are not valid CP932 are passed on untouched.
    std::string junk = Bytes({0x81, 0xFF, 0xA0, 0x80, 0xFD});
    EXPECT_EQ(read(chat::BuildChatText(junk)), junk);
}

TEST(ChatPayload, SendToRoomSendsToAllThenToSelf) {
    std::vector<std::pair<uint32_t, std::string>> sent;
    chat::TSendFunction send = [&](uint32_t to, const void* d, size_t n) {
        sent.emplace_back(to, std::string(static_cast<const char*>(d), n));
    };
    auto p = chat::BuildChatText("abc");
    chat::SendToRoom(send, 42u, p);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::make_pair(0u, p));
    EXPECT_EQ(sent[1], std::make_pair(42u, p));
    sent.clear();
    chat::SendToRoom(send, std::nullopt, p); // lost session: no own copy
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 0u);
}
