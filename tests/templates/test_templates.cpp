#include "platform/Cp932.h"
#include "platform/FontAliases.h"
#include "platform/QtText.h"
#include "support/TempDir.h"
#include "templates/TTempfm.h"

#include <QFontInfo>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <sstream>
#include <sys/stat.h>

using namespace templates;
using platform::Utf8ToCp932;

// The largest single allocation while `watching` is set: loading a small
// file must not cost a start a buffer as large as the biggest file allowed.
static std::atomic<bool> watching{false};
static std::atomic<size_t> largest{0};

void* operator new(size_t size) {
    if (watching && size > largest) largest = size;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {
std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
void Write(const std::filesystem::path& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
}
QString U(const char* s) {
    return QString::fromUtf8(s);
}
} // namespace

TEST(TemplateFile, ParsesEveryLineEndingAndSkipsStrayLines) {
    auto list = ParseTemplates("stray\r\n[TEMPLATE]\r\n[TEMPLATE]\ra\nb\r\n[TEMPLATE]\r\nc");
    ASSERT_EQ(list.size(), 2u); // the empty template between two markers is dropped
    EXPECT_EQ(list[0], (TemplateLines{"a", "b"}));
    EXPECT_EQ(list[1], (TemplateLines{"c"})); // no final line end
    EXPECT_TRUE(ParseTemplates("no marker at all\r\n").empty());
    EXPECT_EQ(ParseTemplates("[template]\r\nx\r\n").size(), 0u); // letter case counts
    // An empty first line is a line; CR LF across the boundary is one line end.
    auto empty = ParseTemplates("[TEMPLATE]\r\n\r\nsecond\r\n");
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0], (TemplateLines{"", "second"}));
}

TEST(TemplateFile, RoundTripsJapaneseAndHugeOrInvalidBytes) {
    testsupport::TempDir dir;
    std::vector<TemplateLines> list = {{Utf8ToCp932("おはよう"), Utf8ToCp932("よろしく")},
                                       {Utf8ToCp932("またね")},
                                       {std::string(1 << 20, 'x')},
                                       {std::string("\x82\xff\x81", 3)}};
    ASSERT_EQ(SaveTemplateFile(dir / "t.ini", list), "");
    EXPECT_EQ(LoadTemplateFile(dir / "t.ini"), list);
    EXPECT_EQ(Read(dir / "t.ini").substr(0, 12), "[TEMPLATE]\r\n");
}

TEST(TemplateFile, EmptyListLeavesTheFileAndFailuresAreReported) {
    testsupport::TempDir dir;
    Write(dir / "t.ini", "[TEMPLATE]\r\nkeep\r\n");
    EXPECT_EQ(SaveTemplateFile(dir / "t.ini", {}), "");
    EXPECT_EQ(Read(dir / "t.ini"), "[TEMPLATE]\r\nkeep\r\n");
    // A folder that cannot be written: the old file stays whole and the error is told.
    std::filesystem::create_directory(dir / "ro");
    Write(dir / "ro" / "t.ini", "[TEMPLATE]\r\nold\r\n");
    ::chmod((dir / "ro").c_str(), 0500);
    if (::geteuid() != 0) { // root writes anywhere
        EXPECT_NE(SaveTemplateFile(dir / "ro" / "t.ini", {{"new"}}), "");
        EXPECT_EQ(Read(dir / "ro" / "t.ini"), "[TEMPLATE]\r\nold\r\n");
    }
    EXPECT_NE(SaveTemplateFile(dir / "missing" / "t.ini", {{"new"}}), "");
    ::chmod((dir / "ro").c_str(), 0700);
}

TEST(TemplateFile, LoadingTakesWhatTheFileHoldsAndNoMore) {
    testsupport::TempDir dir;
    Write(dir / "small.ini", "[TEMPLATE]\r\nhello\r\n");
    largest = 0;
    watching = true;
    const auto small = LoadTemplateFile(dir / "small.ini");
    watching = false;
    EXPECT_EQ(small, (std::vector<TemplateLines>{{"hello"}}));
    EXPECT_LT(largest.load(), size_t{1} << 20) << "bytes in one allocation";

    // A file of many read chunks: lines that straddle them come back whole.
    std::vector<TemplateLines> many;
    for (int i = 0; i < 20000; ++i)
        many.push_back(
            {"line " + std::to_string(i), std::string(static_cast<size_t>(i % 97), 'x')});
    ASSERT_EQ(SaveTemplateFile(dir / "big.ini", many), "");
    EXPECT_GT(std::filesystem::file_size(dir / "big.ini"), 1u << 20);
    EXPECT_EQ(LoadTemplateFile(dir / "big.ini"), many);

    // Beyond 64 MiB the file is not ours: nothing loads (a sparse file, so
    // the test writes next to nothing).
    Write(dir / "huge.ini", "[TEMPLATE]\r\nhello\r\n");
    std::filesystem::resize_file(dir / "huge.ini", (64u << 20) + 1);
    EXPECT_TRUE(LoadTemplateFile(dir / "huge.ini").empty());
    std::filesystem::resize_file(dir / "huge.ini", 64u << 20);
    EXPECT_EQ(LoadTemplateFile(dir / "huge.ini").size(), 1u);
}

class TemplateWindowTest : public ::testing::Test {
  protected:
    testsupport::TempDir dir;
    std::filesystem::path file = dir / "parlora.ini";
    QWidget chat;
    QPlainTextEdit* memo = new QPlainTextEdit(&chat);
};

TEST_F(TemplateWindowTest, ListIsInTheProgramsGothic) {
    TTempfm t(file);
    const QFontInfo list(t.ListBox->font());
    QFont gothic;
    gothic.setFamilies(platform::GothicFamilies());
    gothic.setPixelSize(12);
    EXPECT_EQ(list.family(), QFontInfo(gothic).family());
    EXPECT_FALSE(list.fixedPitch());
    EXPECT_EQ(list.pixelSize(), 12);
}

TEST_F(TemplateWindowTest, RegisterInsertDeleteAndRestart) {
    {
        TTempfm w(file);
        w.SetChat(&chat, memo);
        memo->setPlainText(U("おはよう\nよろしく"));
        w.btn_Put->click();
        EXPECT_EQ(memo->toPlainText(), "");
        ASSERT_EQ(w.ListBox->count(), 1);
        EXPECT_EQ(w.ListBox->item(0)->text(), U("おはよう"));

        w.btn_Put->click(); // empty message box: nothing
        EXPECT_EQ(w.ListBox->count(), 1);

        // A template holding the marker line comes back as two.
        memo->setPlainText(U("a\n[TEMPLATE]\nb"));
        w.btn_Put->click();

        memo->setPlainText(U("typed"));
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.ListBox->setCurrentRow(0);
        QPoint at = w.ListBox->visualItemRect(w.ListBox->item(0)).center();
        QTest::mouseClick(w.ListBox->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(w.ListBox->viewport(), Qt::LeftButton, {}, at);
        EXPECT_EQ(memo->toPlainText(), U("おはよう\nよろしく")); // replaced, not appended
    }
    TTempfm again(file);
    ASSERT_EQ(again.ListBox->count(), 3);
    EXPECT_EQ(again.ListBox->item(1)->text(), "a");
    EXPECT_EQ(again.ListBox->item(2)->text(), "b");
    EXPECT_EQ(again.Templates()[0][1], Utf8ToCp932("よろしく"));
}

TEST_F(TemplateWindowTest, DeletingEverythingKeepsTheFileForTheNextStart) {
    Write(file, "[TEMPLATE]\r\none\r\n[TEMPLATE]\r\ntwo\r\n");
    std::string before = Read(file);
    {
        TTempfm w(file);
        ASSERT_EQ(w.ListBox->count(), 2);
        w.btn_del->click(); // nothing selected: nothing deleted
        EXPECT_EQ(w.ListBox->count(), 2);
        // A second press after a delete finds nothing selected: the
        // neighbour stays.
        w.ListBox->setCurrentRow(0);
        w.btn_del->click();
        w.btn_del->click();
        ASSERT_EQ(w.ListBox->count(), 1);
        EXPECT_EQ(w.ListBox->item(0)->text(), "two");
        while (w.ListBox->count() > 0) {
            w.ListBox->setCurrentRow(0);
            w.btn_del->click();
        }
    }
    EXPECT_EQ(Read(file), before);
}

TEST_F(TemplateWindowTest, EnterInsertsAndForgetsADestroyedChat) {
    Write(file, "[TEMPLATE]\r\nhello\r\n");
    TTempfm w(file);
    w.SetChat(&chat, memo);
    w.ListBox->setCurrentRow(0);
    QTest::keyClick(w.ListBox, Qt::Key_Return);
    EXPECT_EQ(memo->toPlainText(), "hello"); // no line break typed by the Enter
    {
        QWidget other;
        auto* otherMemo = new QPlainTextEdit(&other);
        w.SetChat(&other, otherMemo);
        EXPECT_EQ(w.Chat(), &other);
    }
    EXPECT_EQ(w.Chat(), nullptr);
    w.ListBoxDblClick(); // no chat window: silently nothing
    w.btn_PutClick();
}
