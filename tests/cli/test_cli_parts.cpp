// The pieces of parlora-cli that need no room: how entries are printed, how
// standard input becomes lines, and the command line.
#include "cli/TCliOptions.h"
#include "cli/TEntryPrinter.h"
#include "cli/TLineReader.h"
#include "platform/Cp932.h"
#include "platform/MessagePump.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace {

using platform::Utf8ToCp932;

std::string Printed(bool jsonl, TEntryKind kind, const char* sender, const char* text) {
    TEntryPrinter printer(stdout, jsonl);
    return printer.Format(kind, Utf8ToCp932(sender), Utf8ToCp932(text),
                          std::chrono::system_clock::time_point(std::chrono::microseconds(
                              1796745662123456))); // 2026-12-08T16:01:02.123456Z
}

TEST(CliPrint, LogLineForm) {
    EXPECT_EQ(Printed(false, TEntryKind::Text, "10.0.0.1:表ソ", "  こんにちは  "),
              "<表ソ>こんにちは\n");
    EXPECT_EQ(Printed(false, TEntryKind::Text, "10.0.0.1:a:b", "x\r\n\r\ny"), "<a:b>\nx\ny\n");
    EXPECT_EQ(Printed(false, TEntryKind::Arrival, "", "  10.0.0.1:taro さんが入室しました。"),
              "10.0.0.1:taro さんが入室しました。\n");
    // A text from the room cannot move the cursor, clear the screen or
    // overwrite a line: its control characters are shown, not obeyed.
    // (A carriage return breaks the line, as in the window's log.)
    EXPECT_EQ(Printed(false, TEntryKind::Text, "1.2.3.4:x",
                      "a\x1b[2Jb\rc\x07"
                      "d\x7f\te"),
              "<x>\na^[[2Jb\nc^Gd^?\te\n");
    // Entries that add no line to the log print nothing at all.
    EXPECT_EQ(Printed(false, TEntryKind::Text, "1.2.3.4:x", " \t "), "");
    EXPECT_EQ(Printed(true, TEntryKind::Text, "1.2.3.4:x", ""), "");
}

TEST(CliPrint, JsonLines) {
    EXPECT_EQ(Printed(true, TEntryKind::Text, "10.0.0.1:太郎", "a\"b\\c\r\nd\te"),
              "{\"time\":\"2026-12-08T16:01:02.123456Z\",\"kind\":\"text\",\"sender\":\"10.0."
              "0.1:太郎\",\"handle\":\"太郎\",\"text\":\"a\\\"b\\\\c\\nd\\te\"}\n");
    EXPECT_EQ(Printed(true, TEntryKind::Game, "", "taroは棄権しました"),
              "{\"time\":\"2026-12-08T16:01:02.123456Z\",\"kind\":\"game\",\"sender\":\"\","
              "\"handle\":\"\",\"text\":\"taroは棄権しました\"}\n");
    EXPECT_EQ(TEntryPrinter::JsonQuote(std::string("\x01\x1f\x7f", 3)),
              "\"\\u0001\\u001f\\u007f\"");
    // Bytes that are not CP932 still give valid UTF-8 in the output.
    TEntryPrinter printer(stdout, true);
    std::string out = printer.Format(TEntryKind::Text, "1:x", std::string("a\x81", 2), {});
    EXPECT_NE(out.find("\"text\":\"a?\""), std::string::npos) << out;
}

class CliReader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        reader_ = std::make_unique<TLineReader>(fds_[0]);
        reader_->OnLine = [this](const std::string& l) { lines_.push_back(l); };
        reader_->OnEnd = [this] { ended_ = true; };
        reader_->Start();
    }
    void TearDown() override {
        reader_.reset();
        if (fds_[1] >= 0) ::close(fds_[1]);
        ::close(fds_[0]);
    }
    void Feed(const std::string& bytes) {
        // The reader runs on this thread: while the pipe is full, let it read.
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fds_[1], bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
            platform::ProcessMessages();
            pollfd out{fds_[1], POLLOUT, 0};
            ::poll(&out, 1, 100);
        }
    }
    void End() {
        ::close(fds_[1]);
        fds_[1] = -1;
        ASSERT_TRUE(platform::PumpUntil([this] { return ended_; }, 10000));
    }

    int fds_[2] = {-1, -1};
    std::unique_ptr<TLineReader> reader_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

TEST_F(CliReader, LinesAcrossReadsCrLfEmptyLinesAndAnUnterminatedLast) {
    Feed("one\r\ntw");
    ASSERT_TRUE(platform::PumpUntil([this] { return lines_.size() == 1; }, 10000));
    Feed("o\n\n\rthree");
    End();
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "", "\rthree"}));
}

TEST_F(CliReader, APausedReaderHoldsTheNextLinesUntilResumed) {
    // The room does not take a line yet: the reader stops after it.
    reader_->OnLine = [this](const std::string& l) {
        lines_.push_back(l);
        if (l == "two") reader_->Pause();
    };
    Feed("one\ntwo\nthree\nfour\n");
    ASSERT_TRUE(platform::PumpUntil([this] { return lines_.size() >= 2; }, 10000));
    platform::PumpUntil([] { return false; }, 200);
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two"}));
    reader_->Resume();
    End();
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "three", "four"}));
}

TEST_F(CliReader, AnUnterminatedLastLineLosesItsCarriageReturn) {
    Feed("one\r\nlast\r");
    End();
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "last"}));
}

TEST_F(CliReader, OverlongLinesComeInPiecesCutBetweenCharacters) {
    // "表" is three UTF-8 bytes; the limit falls inside one of them.
    std::string text = "a";
    while (text.size() < TLineReader::kMaxLine + 10)
        text += "表";
    Feed(text + "\nend\n");
    End();
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_LE(lines_[0].size(), TLineReader::kMaxLine);
    EXPECT_EQ(lines_[0] + lines_[1], text);
    EXPECT_NE(platform::Utf8ToCp932(lines_[0]).find('?'), 0u);
    EXPECT_EQ(platform::Utf8ToCp932(lines_[0]).find('?'), std::string::npos);
    EXPECT_EQ(platform::Utf8ToCp932(lines_[1]).find('?'), std::string::npos);
    EXPECT_EQ(lines_[2], "end");
}

TEST(CliOptions, WhatIsAcceptedAndWhatIsNot) {
    auto parse = [](QStringList args, TCliOptions& o, QString& m) {
        args.prepend("parlora-cli");
        return ParseCliOptions(args, o, m);
    };
    TCliOptions o;
    QString m;
    ASSERT_EQ(parse({"--join", "127.0.0.1", "--room", "表", "--handle", "太郎", "--port", "5000",
                     "--own-ip", "10.0.0.9", "--jsonl"},
                    o, m),
              TCliParse::Run)
        << m.toStdString();
    EXPECT_FALSE(o.Create);
    EXPECT_EQ(o.Host, "127.0.0.1");
    EXPECT_EQ(o.Room, Utf8ToCp932("表"));
    EXPECT_EQ(o.Handle, Utf8ToCp932("太郎"));
    EXPECT_EQ(o.Port, 5000);
    EXPECT_TRUE(o.OwnIpGiven);
    EXPECT_EQ(o.OwnIp, "10.0.0.9");
    EXPECT_TRUE(o.Jsonl);
    EXPECT_FALSE(o.AcceptHostKey);
    TCliOptions k;
    EXPECT_EQ(parse({"--join", "::1", "--handle", "h", "--accept-host-key"}, k, m), TCliParse::Run);
    EXPECT_TRUE(k.AcceptHostKey);

    TCliOptions c;
    EXPECT_EQ(parse({"--create", "r", "--handle", "h"}, c, m), TCliParse::Run);
    EXPECT_TRUE(c.Create);
    EXPECT_FALSE(c.OwnIpGiven);
    EXPECT_EQ(c.Port, 0);
    EXPECT_TRUE(c.PortMap);
    TCliOptions n;
    EXPECT_EQ(parse({"--create", "r", "--handle", "h", "--no-portmap"}, n, m), TCliParse::Run);
    EXPECT_FALSE(n.PortMap);

    EXPECT_EQ(parse({"--help"}, o, m), TCliParse::Help);
    EXPECT_TRUE(m.contains("--create")) << m.toStdString();
    EXPECT_TRUE(m.contains("--accept-host-key")) << m.toStdString();
    for (const QStringList& bad : {QStringList{"--handle", "h"},
                                   {"--create", "r", "--join", "h", "--handle", "h"},
                                   {"--create", "r"},
                                   {"--create", "r", "--handle", ""},
                                   {"--create", "r", "--room", "x", "--handle", "h"},
                                   {"--create", "r", "--handle", "h", "--accept-host-key"},
                                   {"--create", "r", "--handle", "h", "--port", "70000"},
                                   {"--create", "r", "--handle", "h", "--port", "x"},
                                   {"--create", "r", "--handle", "h", "extra"},
                                   {"--bogus"}}) {
        TCliOptions x;
        EXPECT_EQ(parse(bad, x, m), TCliParse::Error) << bad.join(' ').toStdString();
        EXPECT_FALSE(m.isEmpty());
    }
}

} // namespace
