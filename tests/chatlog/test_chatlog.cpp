#include "chatlog/RtfWriter.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"

#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/Exception.h"
#include "platform/QtText.h"
#include "support/Sjis.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QLineEdit>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using testsupport::Sjis;

namespace {

const AnsiString Taro = "10.0.0.1:taro";
const AnsiString Hanako = "10.0.0.2:hanako";

// A chat-window-like host: member panel on top, the log below, the caption
// kept the way the window keeps it.
struct LogWindow {
    QWidget Window;
    QWidget* Panel = new QWidget(&Window);
    TChatLog* Log = new TChatLog(&Window);
    TMembers Members{Panel};
    AnsiString Caption;
    int Notified = 0;
    LogWindow() {
        auto* layout = new QVBoxLayout(&Window);
        layout->addWidget(Panel);
        layout->addWidget(Log);
        Log->Members = &Members;
        Log->SetRoomCaption = [this](const AnsiString& suffix) {
            Caption = "Parlora:room" + suffix;
        };
        Log->NotifyArrival = [this] { ++Notified; };
        Members.Add(Taro);
        Members.Add(Hanako);
        Window.resize(487, 468);
        Window.show();
    }
    std::vector<AnsiString> Lines() const {
        std::vector<AnsiString> out;
        for (int i = 0; i < Log->LineCount(); ++i)
            out.push_back(Log->LineAt(i));
        return out;
    }
    QTextCharFormat FormatOfLine(int line) const {
        QTextBlock block = Log->document()->findBlockByNumber(line);
        return block.begin().fragment().charFormat();
    }
    void FillSingleLines(int lines) {
        while (Log->LineCount() < lines)
            Log->AddLogEntry(Taro, "line " + std::to_string(Log->LineCount()));
    }
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Collects the message boxes the log shows instead of blocking on them.
struct BoxRecorder {
    struct Box {
        QString Text, Caption;
        unsigned Flags;
        int LinesAtThatTime;
    };
    std::vector<Box> Boxes;
    BoxRecorder(const TChatLog* log) {
        platform::SetMessageBoxHook([this, log](const QString& t, const QString& c, unsigned f) {
            Boxes.push_back({t, c, f, log->LineCount()});
            return platform::IDOK;
        });
    }
    ~BoxRecorder() { platform::SetMessageBoxHook({}); }
};

} // namespace

TEST(ChatLog, EntriesBecomeLinesByTheLineRules) {
    LogWindow w;
    w.Log->AddLogEntry(Taro, "  hello  ");
    w.Log->AddLogEntry(Taro, "a\r\n \t \r\nb");
    w.Log->AddLogEntry(Taro, "a\r\n\r\nb");
    w.Log->AddLogEntry("", Sjis("  10.0.0.3:jiro さんが入室しました。"));
    w.Log->AddLogEntry("", "x\ny");
    EXPECT_EQ(w.Lines(),
              (std::vector<AnsiString>{"<taro>hello", "<taro>", "a", "", "b", "<taro>", "a", "b",
                                       Sjis("10.0.0.3:jiro さんが入室しました。"), "", "x", "y"}));
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [12行]"));
    EXPECT_EQ(w.Notified, 5);
}

TEST(ChatLog, EmptyTextAddsNothingButRefreshesAndNotifies) {
    LogWindow w;
    w.Log->AddLogEntry(Taro, "one");
    w.Caption.clear();
    w.Log->AddLogEntry(Taro, " \t  ");
    w.Log->AddLogEntry(Taro, "");
    EXPECT_EQ(w.Log->LineCount(), 1);
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [1行]"));
    EXPECT_EQ(w.Notified, 3);
}

TEST(ChatLog, EntriesTakeTheSendersColourAndTheChosenFont) {
    LogWindow w;
    QFont chosen(QStringLiteral("Century"));
    chosen.setPointSize(15);
    chosen.setItalic(true);
    w.Log->FontD = chosen;
    w.Log->AddLogEntry(Taro, "from taro");
    w.Log->AddLogEntry(Hanako, "from hanako\nsecond");
    w.Log->AddLogEntry("", "arrival");
    w.Members.Remove(Hanako);
    w.Log->AddLogEntry(Hanako, "after leaving");

    EXPECT_EQ(w.FormatOfLine(0).foreground().color(), QColor(0, 0, 0));
    for (int line : {1, 2, 3})
        EXPECT_EQ(w.FormatOfLine(line).foreground().color(), QColor(0, 0, 255)) << line;
    EXPECT_EQ(w.FormatOfLine(4).foreground().color(), QColor(255, 0, 0)) << "program lines are red";
    EXPECT_EQ(w.FormatOfLine(5).foreground().color(), QColor(255, 0, 0)) << "a departed sender";
    const QFont f = w.FormatOfLine(1).font();
    EXPECT_EQ(f.family(), QStringLiteral("Century"));
    EXPECT_EQ(f.pointSize(), 15);
    EXPECT_TRUE(f.italic());
    EXPECT_FALSE(f.bold());

    // A later font choice changes only later entries.
    w.Log->FontD.setPointSize(20);
    w.Log->AddLogEntry(Taro, "bigger");
    EXPECT_EQ(w.FormatOfLine(0).font().pointSize(), 15);
    EXPECT_EQ(w.FormatOfLine(6).font().pointSize(), 20);
}

TEST(ChatLog, FontDialogOpensOnTheLogsFontAndOkWithoutAChangeKeepsIt) {
    LogWindow w;
    w.Log->AddLogEntry(Taro, "before");
    const std::string rtfBefore = w.Log->LogAsRtf();
    const QFontInfo seen(w.Log->FontD);

    // Runs the dialog, lets `act` work on it, then presses OK.
    auto choose = [&](const std::function<void(QFontDialog*)>& act) {
        QFont shown;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            shown = dialog->currentFont();
            act(dialog);
            dialog->accept();
        });
        w.Log->ChooseFont(&w.Window);
        return shown;
    };

    const QFont shown = choose([](QFontDialog*) {});
    EXPECT_EQ(shown.family(), seen.family()) << "the family the user sees in the log";
    EXPECT_TRUE(shown.bold());
    EXPECT_EQ(shown.pointSize(), qRound(seen.pointSizeF())) << "13 px in whole points";
    w.Log->AddLogEntry(Taro, "after");
    const QFont before = w.FormatOfLine(0).font();
    const QFont after = w.FormatOfLine(1).font();
    EXPECT_EQ(after.families(), before.families());
    EXPECT_EQ(after.family(), before.family());
    EXPECT_EQ(after.pixelSize(), 13);
    EXPECT_TRUE(after.bold());
    // Both entries name the same font in the saved RTF: one font in its
    // table, and the same run header.
    const std::string rtf = w.Log->LogAsRtf();
    auto fontTable = [](const std::string& r) { return r.substr(0, r.find("{\\colortbl")); };
    EXPECT_EQ(fontTable(rtf), fontTable(rtfBefore));
    const size_t textAt = rtfBefore.find("<taro>before");
    const size_t runAt = rtfBefore.rfind("{\\f", textAt);
    ASSERT_NE(runAt, std::string::npos);
    EXPECT_NE(rtf.find(rtfBefore.substr(runAt, textAt - runAt) + "<taro>after"), std::string::npos)
        << rtf;

    // A family without a bold face (the stand-in of the program's gothic):
    // the dialog offers its regular style, and OK still changes nothing.
    QFont gothic(QStringLiteral("IPAPGothic"));
    gothic.setPixelSize(13);
    gothic.setBold(true);
    w.Log->FontD = gothic;
    choose([](QFontDialog*) {});
    EXPECT_EQ(w.Log->FontD, gothic);

    // A real change is taken.
    choose([](QFontDialog* dialog) {
        QFont bigger = dialog->currentFont();
        bigger.setPointSize(20);
        bigger.setStyleName(QString());
        bigger.setBold(false);
        dialog->setCurrentFont(bigger);
    });
    w.Log->AddLogEntry(Taro, "changed");
    EXPECT_EQ(w.FormatOfLine(2).font().pointSize(), 20);
    EXPECT_FALSE(w.FormatOfLine(2).font().bold());
}

TEST(ChatLog, ControlIsAReadOnlyTooltipColouredLog) {
    LogWindow w;
    EXPECT_TRUE(w.Log->isReadOnly());
    EXPECT_EQ(w.Log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(w.Log->focusPolicy() & Qt::TabFocus);
    EXPECT_EQ(w.Log->palette().color(QPalette::Base),
              QApplication::palette().color(QPalette::ToolTipBase));
    EXPECT_EQ(w.Log->font().pixelSize(), 13);
    EXPECT_TRUE(w.Log->font().bold());
    EXPECT_EQ(w.Log->FontD, w.Log->font());
    // Typing does not change the log.
    w.Log->setFocus();
    QTest::keyClicks(w.Log, "typed");
    EXPECT_EQ(w.Log->LineCount(), 0);
}

TEST(ChatLog, NewEntryClearsTheSelectionAndPutsTheCaretAtTheEnd) {
    LogWindow w;
    w.Log->AddLogEntry(Taro, "one");
    w.Log->AddLogEntry(Taro, "two");
    w.Log->selectAll();
    w.Log->AddLogEntry(Taro, "three");
    EXPECT_FALSE(w.Log->textCursor().hasSelection());
    EXPECT_TRUE(w.Log->textCursor().atEnd());
}

// A flood's slice goes into the document as one edit: the view hears of
// the change once, when control is back in the event loop, and then shows
// the last line. Until then every entry is there to read.
TEST(ChatLog, EntriesOfOnePassAreOneEditAndTheViewFollowsAfterIt) {
    LogWindow w;
    w.FillSingleLines(40);
    QCoreApplication::processEvents();
    int changes = 0;
    QObject::connect(w.Log->document(), &QTextDocument::contentsChange,
                     [&](int, int, int) { ++changes; });
    for (int i = 0; i < 200; ++i)
        w.Log->AddLogEntry(Hanako, "flood " + std::to_string(i));
    EXPECT_EQ(w.Log->LineCount(), 240);
    EXPECT_EQ(w.Log->LineAt(239), "<hanako>flood 199");
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [240行]"));
    EXPECT_TRUE(w.Log->textCursor().atEnd());
    EXPECT_EQ(changes, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, 1);
    QScrollBar* bar = w.Log->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    // At the bottom: the last line in sight (the empty paragraph after it
    // may stay below, as it always has).
    EXPECT_GE(bar->value(), bar->maximum() - 1);
    // Clearing in the middle of a pass leaves nothing behind.
    w.Log->AddLogEntry(Taro, "x");
    w.Log->ClearLogClick();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Log->LineCount(), 0);
    EXPECT_EQ(w.Log->document()->toPlainText(), "");
}

TEST(ChatLog, HoldsAtMostTenThousandLines) {
    LogWindow w;
    w.FillSingleLines(TChatLog::MaxLines);
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [10000行]"));
    w.Log->AddLogEntry(Taro, "newest");
    EXPECT_EQ(w.Log->LineCount(), TChatLog::MaxLines);
    EXPECT_EQ(w.Log->LineAt(0), "<taro>line 1") << "the oldest line went";
    EXPECT_EQ(w.Log->LineAt(TChatLog::MaxLines - 1), "<taro>newest");
    w.Log->AddLogEntry(Hanako, "a\nb\nc");
    EXPECT_EQ(w.Log->LineCount(), TChatLog::MaxLines);
    EXPECT_EQ(w.Log->LineAt(0), "<taro>line 5");
    EXPECT_EQ(w.Log->LineAt(TChatLog::MaxLines - 4), "<hanako>");
    EXPECT_EQ(w.FormatOfLine(TChatLog::MaxLines - 1).foreground().color(), QColor(0, 0, 255));
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [10000行]"));

    w.Log->ClearLogClick();
    EXPECT_EQ(w.Log->LineCount(), 0);
    EXPECT_EQ(w.Caption, Sjis("Parlora:room [0行]"));
    EXPECT_FALSE(w.Log->document()->isUndoRedoEnabled()) << "no undo history after clearing";
    w.Log->AddLogEntry(Taro, "after clearing");
    EXPECT_EQ(w.Lines(), std::vector<AnsiString>{"<taro>after clearing"});
}

TEST(ChatLog, WarnsOnceWhenAMultiLineEntryPassesNineThousand) {
    LogWindow w;
    BoxRecorder boxes(w.Log);
    w.FillSingleLines(TChatLog::WarnLines - 2);
    // Header to 8999, first text line to 9000: the box, then the rest.
    w.Log->AddLogEntry(Taro, "a\nb\nc");
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, QString::fromUtf8("Logの行数が限界(10000行)に近づいています\r\n"
                                                     "ログの保存、ログのクリアーを実行して下さい"));
    EXPECT_EQ(boxes.Boxes[0].Caption, QStringLiteral("Parlora"));
    EXPECT_EQ(boxes.Boxes[0].Flags, 0x2040u);
    EXPECT_EQ(boxes.Boxes[0].LinesAtThatTime, TChatLog::WarnLines);
    EXPECT_EQ(w.Log->LineCount(), TChatLog::WarnLines + 2) << "the entry went on";
    w.Log->AddLogEntry(Taro, "d\ne");
    EXPECT_EQ(boxes.Boxes.size(), 1u);

    // A single-line entry reaching 9000 never warns, nor does a header.
    w.Log->ClearLogClick();
    w.FillSingleLines(TChatLog::WarnLines);
    w.Log->ClearLogClick();
    w.FillSingleLines(TChatLog::WarnLines - 1);
    w.Log->AddLogEntry(Taro, "x\ny"); // header makes 9000
    EXPECT_EQ(boxes.Boxes.size(), 1u);
}

TEST(ChatLog, SavesShiftJisTextWhenTheNameEndsInTxt) {
    LogWindow w;
    testsupport::TempDir dir;
    w.Log->AddLogEntry(Taro, Sjis("表示ソ能ー①㈱～"));
    w.Log->AddLogEntry("", "x\ny");
    const std::string expected = Sjis("<taro>表示ソ能ー①㈱～") + "\r\n\r\nx\r\ny\r\n";
    for (const char* name : {"log.txt", "LOG.TXT", "log.Txt"}) {
        w.Log->SaveLogToFile(QString::fromStdString((dir / name).string()));
        EXPECT_EQ(ReadFile(dir / name), expected) << name;
    }
    w.Log->SaveLogToFile(QString::fromStdString((dir / "log.doc").string()));
    EXPECT_EQ(ReadFile(dir / "log.doc").rfind("{\\rtf1", 0), 0u);
    EXPECT_EQ(w.Log->LineCount(), 4) << "saving leaves the log as it was";
}

TEST(ChatLog, SaveToAnUnwritablePlaceThrows) {
    LogWindow w;
    testsupport::TempDir dir;
    w.Log->AddLogEntry(Taro, "hello");
    const QString path = QString::fromStdString((dir / "missing" / "log.txt").string());
    EXPECT_THROW(w.Log->SaveLogToFile(path), platform::Exception);
    EXPECT_EQ(w.Lines(), std::vector<AnsiString>{"<taro>hello"});
}

TEST(ChatLog, RtfKeepsEachEntrysFormattingAndEscapesItsText) {
    LogWindow w;
    QFont chosen(QStringLiteral("Century"));
    chosen.setPointSize(15);
    chosen.setItalic(true);
    chosen.setUnderline(true);
    w.Log->FontD = chosen;
    w.Log->AddLogEntry(Hanako, Sjis("{表\\ソ}"));
    const std::string rtf = w.Log->LogAsRtf();
    EXPECT_NE(rtf.find("\\ansicpg932"), std::string::npos);
    EXPECT_NE(rtf.find("\\red0\\green0\\blue255;"), std::string::npos);
    EXPECT_NE(rtf.find("\\fs30"), std::string::npos);
    EXPECT_NE(rtf.find("\\i\\ul "), std::string::npos);
    // Both bytes of 表 (95 5C) and ソ (83 5C) as hex, RTF's own marks escaped.
    EXPECT_NE(rtf.find("<hanako>\\{\\'95\\'5c\\\\\\'83\\'5c\\}"), std::string::npos) << rtf;
}

TEST(ChatLog, RtfFontNamesCannotEndTheirFontTableEntry) {
    chat::TRtfRun run;
    run.Text = "x";
    run.FontName = "A;B";
    const std::string rtf = chat::WriteRtf({{run}});
    EXPECT_NE(rtf.find("\\fcharset128 A\\'3bB;}"), std::string::npos) << rtf;
}

// LibreOffice reads the saved RTF back: the same Japanese lines, and the
// entry colours, sizes and fonts survive.
TEST(ChatLog, SavedRtfReadsBackInLibreOffice) {
    const QString soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (soffice.isEmpty()) GTEST_SKIP() << "LibreOffice is not installed (scripts/setup.sh)";
    LogWindow w;
    testsupport::TempDir dir;
    w.Log->AddLogEntry("", Sjis("  10.0.0.1:taro さんが入室しました。"));
    w.Log->AddLogEntry(Taro, Sjis("こんにちは、表示のソ能ー ①㈱～"));
    QFont big(QString::fromUtf8("ＭＳ Ｐゴシック"));
    big.setPointSize(18);
    w.Log->FontD = big;
    w.Log->AddLogEntry(Hanako, Sjis("二行の{本文}\r\nc:\\path"));
    const QString rtf = QString::fromStdString((dir / "room.rtf").string());
    w.Log->SaveLogToFile(rtf);

    QProcess lo;
    const QString profile = QStringLiteral("-env:UserInstallation=file://") +
                            QString::fromStdString((dir / "lo").string());
    const QString outDir = QString::fromStdString(dir.Path().string());
    for (const char* format : {"txt:Text (encoded):UTF8", "html"}) {
        lo.start(soffice, {profile, QStringLiteral("--headless"), QStringLiteral("--convert-to"),
                           QString::fromUtf8(format), QStringLiteral("--outdir"), outDir, rtf});
        ASSERT_TRUE(lo.waitForFinished(120000)) << "LibreOffice did not finish";
        ASSERT_EQ(lo.exitCode(), 0) << lo.readAllStandardError().toStdString();
    }
    std::string text = ReadFile(dir / "room.txt");
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    // The line rules strip the arrival line's leading blanks.
    EXPECT_EQ(text, "10.0.0.1:taro さんが入室しました。\n"
                    "<taro>こんにちは、表示のソ能ー ①㈱～\n"
                    "<hanako>\n二行の{本文}\nc:\\path\n");
    const QString html = QString::fromStdString(ReadFile(dir / "room.html")).toLower();
    EXPECT_TRUE(html.contains(QStringLiteral("#ff0000")));
    EXPECT_TRUE(html.contains(QStringLiteral("#0000ff")));
    EXPECT_TRUE(html.contains(QStringLiteral("font-size: 18pt")));
    EXPECT_TRUE(html.contains(QString::fromUtf8("ｍｓ ｐゴシック"))) << html.toStdString();
}

// Runs the save dialog as a user would: picks the filter at `filterIndex`
// (-1 leaves the one shown), types `name` and presses the save button.
struct SaveAs {
    QStringList Filters;
    QString ShownFilter;
    QString Proposed;
    void Run(TChatLog* log, const AnsiString& room, int filterIndex, const QString& name) {
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            Filters = dialog->nameFilters();
            ShownFilter = dialog->selectedNameFilter();
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(edit, nullptr);
            Proposed = edit->text();
            if (filterIndex >= 0) {
                auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
                ASSERT_NE(types, nullptr);
                types->setFocus();
                while (types->currentIndex() != filterIndex)
                    QTest::keyClick(types, types->currentIndex() < filterIndex ? Qt::Key_Down
                                                                               : Qt::Key_Up);
            }
            edit->setText(name);
            QTest::keyClick(edit, Qt::Key_Return);
        });
        log->SaveLogClick(room);
    }
};

TEST(ChatLog, SaveDialogNamesTheFileAfterTheFilterShownUnlessTheNameHasAnExtension) {
    LogWindow w;
    testsupport::TempDir dir;
    w.Log->AddLogEntry(Taro, "hello");
    auto at = [&](const char* name) { return QString::fromStdString((dir / name).string()); };

    SaveAs first;
    first.Run(w.Log, Sjis("ルーム"), -1, at("saved"));
    EXPECT_EQ(first.Filters.join(QStringLiteral(";;")),
              QString::fromUtf8("リッチテキストファイル(．RTF) (*.rtf);;"
                                "テキストファイル(．TXT) (*.txt)"));
    EXPECT_EQ(first.ShownFilter, first.Filters.value(0));
    EXPECT_EQ(first.Proposed, QString::fromUtf8("ルーム"));
    // The RTF filter was shown: an RTF file under the RTF name.
    EXPECT_EQ(ReadFile(dir / "saved.rtf").rfind("{\\rtf1", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "saved.txt"));

    SaveAs text;
    text.Run(w.Log, Sjis("ルーム"), 1, at("plain"));
    EXPECT_EQ(ReadFile(dir / "plain.txt"), "<taro>hello\r\n");

    // A typed extension decides, whatever the filter says.
    SaveAs typed;
    typed.Run(w.Log, Sjis("ルーム"), 0, at("typed.TXT"));
    EXPECT_EQ(ReadFile(dir / "typed.TXT"), "<taro>hello\r\n");
    SaveAs other;
    other.Run(w.Log, Sjis("ルーム"), 1, at("typed.doc"));
    EXPECT_EQ(ReadFile(dir / "typed.doc").rfind("{\\rtf1", 0), 0u);
}

TEST(ChatLog, CopyQuotesEveryLineOfTheSelection) {
    LogWindow w;
    w.Log->AddLogEntry("", "x\ny");
    // Select the lines x and y (the empty header line stays out).
    QTextCursor c = w.Log->textCursor();
    c.setPosition(w.Log->document()->findBlockByNumber(1).position());
    c.setPosition(w.Log->document()->findBlockByNumber(2).position() + 1, QTextCursor::KeepAnchor);
    w.Log->setTextCursor(c);

    EXPECT_TRUE(w.Log->N3->isChecked()) << "no quote mark at start";
    w.Log->Copy1Click();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("x\ny"));

    w.Log->inyo2->trigger();
    EXPECT_FALSE(w.Log->N3->isChecked());
    w.Log->setFocus();
    QTest::keyClick(w.Log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral(">>x\r\n>>y\r\n"));

    w.Log->inyo1->trigger();
    EXPECT_FALSE(w.Log->inyo2->isChecked());
    w.Log->Copy1->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral(">x\r\n>y\r\n"));

    // Clicking the checked item again leaves none checked: no quote mark.
    w.Log->inyo1->trigger();
    EXPECT_FALSE(w.Log->N3->isChecked() || w.Log->inyo1->isChecked() || w.Log->inyo2->isChecked());
    w.Log->Copy1Click();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("x\ny"));

    // Select all, quoted: every line including the empty header line.
    w.Log->inyo2->trigger();
    w.Log->N2->trigger();
    EXPECT_EQ(w.Log->QuotedSelection(), QStringLiteral(">>\r\n>>x\r\n>>y\r\n"));
    w.Log->moveCursor(QTextCursor::End);
    EXPECT_EQ(w.Log->QuotedSelection(), QString()) << "no selection, nothing to quote";
}
