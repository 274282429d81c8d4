// Key routing and the name guide, driven with real key events on real
// widgets (offscreen).
#include "support/Sjis.h"
#include "NameGuideHarness.h"

using testsupport::Sjis;
using testsupport::WaitUntil;

TEST(ChatKeys, CtrlSSendsFromAnywhereAndTypesNothing) {
    GuideWindow w;
    w.Type("hello");
    w.Key(Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(w.Sent.size(), 1u);
    EXPECT_EQ(w.Sent[0], "hello") << "no 's' typed before sending";
    EXPECT_TRUE(w.Memo->toPlainText().isEmpty());

    // From another control of the window, too.
    w.Type("again");
    w.Send->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return w.Send->hasFocus(); }, 5000));
    w.Key(Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(w.Sent.size(), 2u) << "a key that propagates to parents is routed once";
    EXPECT_EQ(w.Sent[1], "again");
}

TEST(ChatKeys, CtrlSWithShiftOrAltDoesNotSend) {
    GuideWindow w;
    w.Type("x");
    w.Key(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    w.Key(Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
    w.Key(Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(w.Sent.empty());
    EXPECT_TRUE(w.Keys->KeyNotSent);
}

TEST(ChatKeys, EnterTypesALineBreakUnlessEnterSends) {
    GuideWindow w;
    w.Type("a");
    w.Key(Qt::Key_Return);
    w.Type("b");
    EXPECT_TRUE(w.Sent.empty());
    EXPECT_EQ(w.Memo->toPlainText(), "a\nb");

    w.CB_Enter->setChecked(true);
    w.Key(Qt::Key_Return);
    ASSERT_EQ(w.Sent.size(), 1u);
    EXPECT_EQ(w.Sent[0], "a\nb") << "the sending Enter types no line break first";
    EXPECT_TRUE(w.Memo->toPlainText().isEmpty());

    // Whatever the modifiers, and the keypad's Enter as well.
    for (auto [key, mods] : {std::pair{Qt::Key_Return, Qt::KeyboardModifiers(Qt::ShiftModifier)},
                             std::pair{Qt::Key_Return, Qt::KeyboardModifiers(Qt::ControlModifier)},
                             std::pair{Qt::Key_Enter, Qt::KeyboardModifiers(Qt::KeypadModifier)}}) {
        w.Type("m");
        w.Key(key, mods);
        EXPECT_TRUE(w.Memo->toPlainText().isEmpty()) << "key " << key << " mods " << mods;
    }
    EXPECT_EQ(w.Sent.size(), 4u);
}

TEST(NameGuide, ShowsAfterAGreaterThanSignLeftAloneFor800ms) {
    GuideWindow w;
    w.Type("abc>");
    EXPECT_FALSE(w.Guide->Visible()) << "not at once";
    EXPECT_TRUE(w.Guide->ShowGuideTimer->isActive());
    EXPECT_EQ(w.Guide->ShowGuideTimer->interval(), 800);
    ASSERT_TRUE(w.WaitForGuide());

    QListWidget* list = w.Guide->ListBox;
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), "taro");
    EXPECT_EQ(list->item(2)->text(), "jiro");
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(list->size(), QSize(129, 65));
    EXPECT_TRUE(w.Memo->hasFocus()) << "the guide does not take the focus";
    EXPECT_EQ(w.Memo->toPlainText(), "abc>");

    // Under the caret, inside the window.
    const QRect caret = w.Memo->cursorRect();
    const QPoint caretAt = w.Memo->viewport()->mapTo(&w.Window, caret.topLeft());
    EXPECT_GT(list->y(), caretAt.y());
    EXPECT_EQ(list->x(), caretAt.x());

    // A key the guide does not use goes to the box and closes the guide.
    w.Type("d");
    EXPECT_EQ(w.Memo->toPlainText(), "abc>d");
    EXPECT_FALSE(w.Guide->Visible());
    EXPECT_FALSE(w.Guide->ShowGuideTimer->isActive());
}

TEST(NameGuide, AnotherCharacterWithinTheWaitCancelsIt) {
    GuideWindow w;
    w.Type(">");
    ASSERT_TRUE(w.Guide->ShowGuideTimer->isActive());
    w.Type("a");
    EXPECT_FALSE(w.Guide->ShowGuideTimer->isActive()) << "nothing left to show the guide";
    // Taking the ">" away again leaves the caret at the start.
    w.Key(Qt::Key_Backspace);
    w.Key(Qt::Key_Left);
    EXPECT_EQ(w.Caret(), 0);
    EXPECT_FALSE(w.Guide->ShowGuideTimer->isActive());
    w.Key(Qt::Key_Right);
    EXPECT_TRUE(w.Guide->ShowGuideTimer->isActive()) << "a caret move back behind '>' arms it";
    w.Key(Qt::Key_Backspace);
    EXPECT_FALSE(w.Guide->ShowGuideTimer->isActive()) << "an emptied box shows no guide";
    QTest::qWait(1000);
    EXPECT_FALSE(w.Guide->Visible());
}

TEST(NameGuide, FullWidthGreaterThanSignFromAnInputMethodArmsIt) {
    GuideWindow w;
    w.Handles = {Sjis("太郎"), "hanako"};
    w.Commit(QStringLiteral("こんにちは＞"));
    ASSERT_EQ(platform::FromQString(w.Memo->toPlainText()).substr(10), "\x81\x84");
    EXPECT_TRUE(w.Guide->ShowGuideTimer->isActive());
    ASSERT_TRUE(w.WaitForGuide());
    EXPECT_EQ(w.Guide->SelectedHandle(), Sjis("太郎"));

    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), QStringLiteral("こんにちは＞太郎"));
    EXPECT_EQ(w.Caret(), w.Memo->toPlainText().size());
}

TEST(NameGuide, UpAndDownStopAtTheEnds) {
    GuideWindow w;
    w.Type(">");
    ASSERT_TRUE(w.WaitForGuide());
    QListWidget* list = w.Guide->ListBox;
    w.Key(Qt::Key_Up);
    EXPECT_EQ(list->currentRow(), 0);
    w.Key(Qt::Key_Down);
    w.Key(Qt::Key_Down);
    EXPECT_EQ(list->currentRow(), 2);
    w.Key(Qt::Key_Down);
    EXPECT_EQ(list->currentRow(), 2) << "Down on the last keeps the last";
    EXPECT_EQ(w.Caret(), 1) << "the keys the guide takes do not move the caret";
    EXPECT_TRUE(w.Guide->Visible());

    w.Key(Qt::Key_Up);
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), ">hanako");

    w.Type(" >");
    ASSERT_TRUE(w.WaitForGuide());
    w.Key(Qt::Key_Escape);
    EXPECT_FALSE(w.Guide->Visible());
    EXPECT_EQ(w.Memo->toPlainText(), ">hanako >");
    EXPECT_TRUE(w.Memo->hasFocus());
}

TEST(NameGuide, EnterInsertsTheHandleAtTheCaretWithoutALineBreakOrSending) {
    GuideWindow w;
    w.CB_Enter->setChecked(true); // the guide's Enter must not send either
    w.Type(">");
    ASSERT_TRUE(w.WaitForGuide());
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), ">taro");
    EXPECT_EQ(w.Caret(), 5);
    EXPECT_TRUE(w.Sent.empty());
    EXPECT_FALSE(w.Guide->Visible());
    EXPECT_TRUE(w.Memo->hasFocus());

    // Lines are counted with their CR LF: the handle lands at the caret.
    w.CB_Enter->setChecked(false);
    w.SetMemo(QStringLiteral("一行目\n>の続き"), 5);
    ASSERT_TRUE(w.WaitForGuide());
    w.Key(Qt::Key_Down);
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), QStringLiteral("一行目\n>hanakoの続き"));
    EXPECT_EQ(w.Caret(), 11);
    // One undo gives the old text back.
    w.Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(w.Memo->toPlainText(), QStringLiteral("一行目\n>の続き"));
}

TEST(NameGuide, LeadingBlanksAreTrimmedAndTheHandleLandsPBytesIn) {
    GuideWindow w;
    // Caret after ">" at byte 4 of "  a>bcdef"; the trimmed text is
    // "a>bcdef", so the handle goes in after "a>bc".
    w.SetMemo("  a>bcdef \n", 4);
    ASSERT_TRUE(w.WaitForGuide());
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), "a>bctarodef");
    EXPECT_EQ(w.Caret(), 8);

    // Past the end of the trimmed text: the handle goes to its end.
    size_t caret = 0;
    EXPECT_EQ(TchatNameGuide::InsertHandle("\t  >", 4, "taro", caret), ">taro");
    EXPECT_EQ(caret, 5u);
}

TEST(NameGuide, InsertingNeverSplitsACharacter) {
    size_t caret = 0;
    // Byte 3 of the trimmed text falls inside "あ": the handle goes before it.
    const AnsiString text = " " + Sjis("＞あい");
    EXPECT_EQ(TchatNameGuide::InsertHandle(text, 3, "taro", caret), Sjis("＞taroあい"));
    EXPECT_EQ(caret, 6u);
    // Nor a line break.
    EXPECT_EQ(TchatNameGuide::InsertHandle(" a\r\nb", 3, "x", caret), "a\r\nxb");
    EXPECT_EQ(TchatNameGuide::InsertHandle(" a\r\nb", 2, "x", caret), "ax\r\nb");
    EXPECT_EQ(caret, 2u);
    // A 0x5C second byte is part of its character, not a character of its own.
    EXPECT_EQ(TchatNameGuide::InsertHandle("  " + Sjis("表>"), 4, "x", caret), Sjis("表>x"));
    EXPECT_EQ(TchatNameGuide::InsertHandle("   ", 1, "x", caret), "x");
}

TEST(NameGuide, StaysInsideTheMessageBoxAndTheWindow) {
    GuideWindow w;
    // Near the bottom of the box the guide goes above the caret.
    w.SetMemo("a\nb\nc\n>", 7);
    ASSERT_TRUE(w.WaitForGuide());
    const QPoint caretAt = w.Memo->viewport()->mapTo(&w.Window, w.Memo->cursorRect().topLeft());
    EXPECT_LE(w.Guide->ListBox->geometry().bottom(), caretAt.y());
    EXPECT_GE(w.Guide->ListBox->y(), 0);
    w.Key(Qt::Key_Escape);

    // Near the right edge it is pulled back inside the window.
    w.SetMemo("", 0);
    const int firstLine = w.Memo->cursorRect().y();
    while (w.Memo->cursorRect().x() < w.Window.width() - 110)
        w.Memo->insertPlainText("x");
    ASSERT_EQ(w.Memo->cursorRect().y(), firstLine);
    w.Type(">");
    ASSERT_TRUE(w.WaitForGuide());
    EXPECT_EQ(w.Guide->ListBox->geometry().right(), w.Window.width() - 1);
}

TEST(NameGuide, AClickOnTheGuideLeavesTheFocusInTheMessageBox) {
    GuideWindow w;
    w.Type(">");
    ASSERT_TRUE(w.WaitForGuide());
    QListWidget* list = w.Guide->ListBox;
    const QRect second = list->visualItemRect(list->item(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(list->currentRow(), 1);
    ASSERT_TRUE(WaitUntil([&] { return w.Memo->hasFocus(); }, 5000));
    w.Key(Qt::Key_Return);
    EXPECT_EQ(w.Memo->toPlainText(), ">hanako");
}

TEST(NameGuide, AMouseClickBehindAGreaterThanSignDoesNotArmIt) {
    GuideWindow w;
    w.Type("a>b");
    ASSERT_FALSE(w.Guide->ShowGuideTimer->isActive());
    QTextCursor behind(w.Memo->document());
    behind.setPosition(2);
    QTest::mouseClick(w.Memo->viewport(), Qt::LeftButton, Qt::NoModifier,
                      w.Memo->cursorRect(behind).center());
    QApplication::processEvents();
    ASSERT_EQ(w.Caret(), 2) << "the click put the caret behind the '>'";
    EXPECT_FALSE(w.Guide->ShowGuideTimer->isActive());
    QTest::qWait(1000);
    EXPECT_FALSE(w.Guide->Visible());
    // A key arms it, even one that only moves the caret.
    w.Key(Qt::Key_Right);
    w.Key(Qt::Key_Left);
    EXPECT_TRUE(w.Guide->ShowGuideTimer->isActive());
}
