#include "chatlog/TMembers.h"

#include "platform/Cp932.h"
#include "platform/QtText.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

const QColor Black(0, 0, 0), Blue(0, 0, 255), Green(0, 128, 0), Red(255, 0, 0);

// A window with a member panel of a known width, shown offscreen.
struct MembersWindow {
    QWidget Window;
    QWidget* Panel = new QWidget(&Window);
    TMembers Members{Panel};
    MembersWindow(int panelWidth = 300) {
        Window.resize(panelWidth, 300);
        Panel->setGeometry(0, 0, panelWidth, 49);
        Window.show();
    }
    QLabel* LabelOf(const AnsiString& name) {
        int i = Members.IndexOf(name);
        return i < 0 ? nullptr : Members.Label(i);
    }
};

QColor Background(const QLabel* label) {
    return label->palette().color(QPalette::Window);
}

} // namespace

TEST(Members, ColoursAreHandedOutInOrderAndReused) {
    MembersWindow w;
    w.Members.Add("10.0.0.1:taro");
    w.Members.Add("10.0.0.2:hanako");
    w.Members.Add("10.0.0.3:jiro");
    EXPECT_EQ(w.Members.ColorOf("10.0.0.1:taro"), Black);
    EXPECT_EQ(w.Members.ColorOf("10.0.0.2:hanako"), Blue);
    EXPECT_EQ(w.Members.ColorOf("10.0.0.3:jiro"), Green);
    // The label shows the colour: it is the one place the colour lives.
    EXPECT_EQ(w.LabelOf("10.0.0.2:hanako")->palette().color(QPalette::WindowText), Blue);

    QPointer<QLabel> hanako = w.LabelOf("10.0.0.2:hanako");
    w.Members.Remove("10.0.0.2:HANAKO");
    EXPECT_TRUE(hanako.isNull()) << "a departed member's label is freed";
    EXPECT_EQ(w.Members.ColorOf("10.0.0.2:hanako"), Red) << "a member that left is a stranger";
    w.Members.Add("10.0.0.4:saburo");
    EXPECT_EQ(w.Members.ColorOf("10.0.0.4:saburo"), Blue) << "the freed colour comes back first";
    // Strangers and the program's own lines are red.
    EXPECT_EQ(w.Members.ColorOf("10.0.0.9:nobody"), Red);
    EXPECT_EQ(w.Members.ColorOf(""), Red);
    w.Members.Remove("10.0.0.9:nobody"); // ignored
    EXPECT_EQ(w.Members.Count(), 3);
}

TEST(Members, AllColoursInUseFallBackToBlack) {
    MembersWindow w;
    for (int i = 0; i < 14; ++i)
        w.Members.Add("10.0.0." + std::to_string(i) + ":m" + std::to_string(i));
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(w.Members.ColorOf("10.0.0." + std::to_string(i) + ":m" + std::to_string(i)),
                  TMembers::Palette()[i]);
    EXPECT_EQ(w.Members.ColorOf("10.0.0.13:m13"), Black);
}

TEST(Members, NamesIgnoreLetterCaseButNotDoubleByteCharacters) {
    MembersWindow w;
    w.Members.Add("10.0.0.1:Taro");
    w.Members.Add("10.0.0.1:TARO");
    EXPECT_EQ(w.Members.Count(), 1);
    EXPECT_EQ(w.Members.ColorOf("10.0.0.1:taro"), Black);
    // ａ and Ａ (full width) differ only in their second byte, which is never
    // folded; neither is a second byte that happens to be an ASCII letter.
    const AnsiString wideLower = platform::Utf8ToCp932("10.0.0.2:ａ");
    const AnsiString wideUpper = platform::Utf8ToCp932("10.0.0.2:Ａ");
    w.Members.Add(wideLower);
    w.Members.Add(wideUpper);
    EXPECT_EQ(w.Members.Count(), 3);
    const AnsiString soA = platform::Utf8ToCp932("10.0.0.3:ソ") + "a"; // ソ = 83 5C
    const AnsiString kanji = "10.0.0.3:\x83\x41";                      // ア: second byte 'A'
    const AnsiString kanjiLower = "10.0.0.3:\x83\x61";                 // ＝ "a" as second byte
    w.Members.Add(kanji);
    EXPECT_EQ(w.Members.IndexOf(kanjiLower), -1);
    EXPECT_EQ(w.Members.IndexOf(soA), -1);
    // A second byte in the lead-byte range (亜 = 88 9F) leads nothing: the
    // letter after it is folded again.
    w.Members.Add("10.0.0.4:\x88\x9F"
                  "a");
    EXPECT_EQ(w.Members.IndexOf("10.0.0.4:\x88\x9F"
                                "A"),
              w.Members.Count() - 1);
}

TEST(Members, LabelsShowTheHandleWithThePlayerNameAsHint) {
    MembersWindow w;
    const AnsiString name = platform::Utf8ToCp932("192.168.0.5:表示ソ");
    w.Members.Add(name);
    QLabel* label = w.LabelOf(name);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString::fromUtf8("表示ソ"));
    EXPECT_EQ(label->toolTip(), QString::fromUtf8("192.168.0.5:表示ソ"));
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(label->parentWidget(), w.Panel);
}

TEST(Members, OwnLabelIsWhiteOnlyForTheExactName) {
    MembersWindow w;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    w.Members.Add("10.0.0.1:taro");
    w.Members.Add("10.0.0.2:hanako");
    EXPECT_EQ(Background(w.LabelOf("10.0.0.1:taro")), buttonFace) << "before SelfName is set";
    w.Members.SelfName = "10.0.0.1:taro";
    w.Members.Arrange();
    EXPECT_EQ(Background(w.LabelOf("10.0.0.1:taro")), QColor(Qt::white));
    EXPECT_EQ(Background(w.LabelOf("10.0.0.2:hanako")), buttonFace);
    w.Members.SelfName = "10.0.0.1:Taro"; // letter case counts here
    w.Members.Arrange();
    EXPECT_EQ(Background(w.LabelOf("10.0.0.1:taro")), buttonFace);
}

TEST(Members, ArrangeWrapsAfterTheLabelThatPassesTheWidth) {
    MembersWindow w(200);
    w.Members.Add("1.1.1.1:" + std::string(60, 'W')); // wider than the panel
    w.Members.Add("1.1.1.2:bb");
    w.Members.Add("1.1.1.3:cc");
    QLabel* wide = w.LabelOf("1.1.1.1:" + std::string(60, 'W'));
    QLabel* b = w.LabelOf("1.1.1.2:bb");
    QLabel* c = w.LabelOf("1.1.1.3:cc");
    ASSERT_GT(wide->width(), 200);
    EXPECT_EQ(wide->pos(), QPoint(3, 5)) << "a label too wide stays on the first row";
    EXPECT_EQ(b->pos(), QPoint(3, 5 + wide->height() + 3));
    EXPECT_EQ(c->pos(), QPoint(3 + b->width() + 3, b->y()));
    EXPECT_EQ(w.Panel->height(), b->y() + c->height() + 3);
}

TEST(Members, ArrangeWrapsOnlyPastTheWidthNotAtIt) {
    MembersWindow w;
    w.Members.Add("1.1.1.1:aaaa");
    QLabel* a = w.LabelOf("1.1.1.1:aaaa");
    // The first label ends exactly at the panel's width: no wrap yet.
    w.Panel->setGeometry(0, 0, 3 + a->width() + 3, 49);
    w.Members.Add("1.1.1.2:bbbb");
    EXPECT_EQ(w.LabelOf("1.1.1.2:bbbb")->pos(), QPoint(3 + a->width() + 3, 5));
}

TEST(Members, ArrangeKeepsAnEmptyRowWhenTheLastLabelWraps) {
    MembersWindow w(100);
    w.Members.Add("1.1.1.1:aaaa");
    QLabel* a = w.LabelOf("1.1.1.1:aaaa");
    const int h = a->height();
    // Fill the first row until the last label's end passes the width.
    int n = 1;
    while (3 + (a->width() + 3) * n <= 100) {
        w.Members.Add("1.1.1." + std::to_string(n + 1) + ":aaaa");
        ++n;
    }
    // The wrap test ran after the first label that ends beyond the width.
    EXPECT_EQ(w.Panel->height(), 5 + h + 3 + h + 3);
    for (int i = 0; i < w.Members.Count(); ++i)
        EXPECT_EQ(w.Members.Label(i)->y(), 5);
}

TEST(Members, PanelIsShownOnlyWithMembersAndTheMenuChecked) {
    MembersWindow w;
    bool checked = true;
    w.Members.IsShowMemberChecked = [&] { return checked; };
    w.Members.Arrange();
    EXPECT_FALSE(w.Members.Visible()) << "no members, no panel";
    w.Members.Add("10.0.0.1:taro");
    EXPECT_TRUE(w.Members.Visible());
    checked = false;
    w.Members.Arrange();
    EXPECT_FALSE(w.Members.Visible());
    checked = true;
    w.Members.Arrange();
    w.Members.Remove("10.0.0.1:taro");
    EXPECT_FALSE(w.Members.Visible());
}

TEST(Members, ClickingALabelWritesThePlayerNameIntoTheMessageBox) {
    MembersWindow w;
    auto* memo = new QPlainTextEdit(&w.Window);
    w.Members.SetMemo(memo);
    const AnsiString name = platform::Utf8ToCp932("192.168.0.5:はなこ");
    w.Members.Add(name);
    QLabel* label = w.LabelOf(name);
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(memo->toPlainText(), QString::fromUtf8("192.168.0.5:はなこ"));
    memo->setPlainText("first\nto");
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(memo->toPlainText(), QString::fromUtf8("first\nto 192.168.0.5:はなこ"));
}

TEST(Members, MemoTextAfterClickCountsLinesLikeAMemo) {
    EXPECT_EQ(TMembers::MemoTextAfterClick("", "h"), "h");
    EXPECT_EQ(TMembers::MemoTextAfterClick("abc", "h"), "abc h");
    // A final line break does not start a line: the line before it gets the name.
    EXPECT_EQ(TMembers::MemoTextAfterClick("abc\r\n", "h"), "abc h\r\n");
    EXPECT_EQ(TMembers::MemoTextAfterClick("a\r\nb", "h"), "a\r\nb h");
    EXPECT_EQ(TMembers::MemoTextAfterClick("a\n\n", "h"), "a\n h\n");
}
