#include "TChatLog.h"

#include "RtfWriter.h"
#include "TMembers.h"
#include "chat_core/LogLines.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/Exception.h"
#include "platform/QtText.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Half points of a character format's size; pixel sizes count at 96 dpi.
int HalfPointsOf(const QTextCharFormat& f) {
    QFont font = f.font();
    if (font.pixelSize() > 0) return (font.pixelSize() * 3 + 1) / 2;
    if (font.pointSizeF() > 0) return static_cast<int>(font.pointSizeF() * 2 + 0.5);
    return 20;
}

} // namespace

TChatLog::TChatLog(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("Log"));
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::ClickFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The log is a record, not an editor: no undo history to grow with it.
    setUndoRedoEnabled(false);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, QApplication::palette().color(QPalette::ToolTipBase));
    setPalette(pal);
    QFont font(U("ＭＳ Ｐゴシック"));
    font.setPixelSize(13);
    font.setBold(true);
    setFont(font);
    document()->setDefaultFont(font);
    FontD = font;

    PopupMenu1 = new QMenu(this);
    Copy1 = PopupMenu1->addAction(U("ｺﾋﾟｰ(&C)"));
    Copy1->setShortcut(QKeySequence::Copy);
    Copy1->setShortcutContext(Qt::WidgetShortcut);
    N1 = PopupMenu1->addMenu(U("ｺﾋﾟｰの引用符付指定"));
    N3 = N1->addAction(U("なし"));
    inyo1 = N1->addAction(U("「 > 」"));
    inyo2 = N1->addAction(U("「 >> 」"));
    for (QAction* a : {N3, inyo1, inyo2}) {
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, a] { N3Click(a); });
    }
    N3->setChecked(true);
    N2 = PopupMenu1->addAction(U("全て選択"));
    connect(Copy1, &QAction::triggered, this,
            [this] { platform::Guarded([this] { Copy1Click(); }); });
    connect(N2, &QAction::triggered, this, [this] { N2Click(); });
}

TChatLog::~TChatLog() {
    CloseEdit();
}

void TChatLog::OpenEdit() {
    if (editOpen_) return;
    edit_ = QTextCursor(document());
    edit_.beginEditBlock();
    editOpen_ = true;
    // Runs once the current pass (the pump's slice) has returned to the loop.
    QMetaObject::invokeMethod(
        this, [this] { CloseEdit(); }, Qt::QueuedConnection);
}

void TChatLog::CloseEdit() {
    if (!editOpen_) return;
    editOpen_ = false;
    edit_.endEditBlock();
    edit_ = QTextCursor();
    ensureCursorVisible();
}

QTextCursor TChatLog::EndCursor() const {
    // Made on the last (empty) block it stands at the end without moving
    // there: moving lays out the block it starts from to keep its x
    // position, and after a trim that is a fresh first line every entry.
    return QTextCursor(document()->lastBlock());
}

int TChatLog::LineCount() const {
    // Every line ends with a paragraph mark, so the document always has one
    // empty block after the last line.
    return document()->blockCount() - 1;
}

AnsiString TChatLog::LineAt(int index) const {
    if (index < 0 || index >= LineCount()) return {};
    return platform::FromQString(document()->findBlockByNumber(index).text());
}

AnsiString TChatLog::LineCountSuffix() const {
    return " [" + std::to_string(LineCount()) + platform::Utf8ToCp932("行]");
}

void TChatLog::AppendLines(const std::vector<AnsiString>& lines, size_t begin, size_t end,
                           const QTextCharFormat& format) {
    if (begin >= end) return;
    // One insertion for the run of lines: each ends with its paragraph mark.
    QString text;
    for (size_t i = begin; i < end; ++i) {
        text += platform::ToQString(lines[i]);
        text += QLatin1Char('\n');
    }
    QTextCursor cursor = EndCursor();
    cursor.insertText(text, format);
}

void TChatLog::ShowLineWarning() {
    const AnsiString text = platform::Utf8ToCp932("Logの行数が限界(10000行)に近づいています\r\n"
                                                  "ログの保存、ログのクリアーを実行して下さい");
    platform::MessageBox(window(), text, "Parlora",
                         platform::MB_ICONINFORMATION | platform::MB_TASKMODAL);
}

void TChatLog::TrimToMaxLines() {
    const int excess = LineCount() - MaxLines;
    if (excess <= 0) return;
    QTextCursor cursor(document());
    cursor.setPosition(document()->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    // Inside an edit block the cursor does not lay out the new first line
    // just to find its own x position.
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    cursor.endEditBlock();
}

void TChatLog::AddLogEntry(const AnsiString& senderName, const AnsiString& text) {
    // Setting the caret makes the view find it at once; most entries find it
    // where it belongs already (it moves along with text added at it).
    QTextCursor caret = textCursor();
    if (caret.hasSelection()) {
        caret.clearSelection();
        setTextCursor(caret);
    }
    QTextCharFormat format;
    format.setFont(FontD, QTextCharFormat::FontPropertiesAll);
    format.setForeground(Members ? Members->ColorOf(senderName) : QColor(0xFF, 0x00, 0x00));

    const std::vector<AnsiString> lines = chat::LogEntryLines(senderName, text);
    // Only a text line of a multi-line entry (never its header, never a
    // single-line entry) that makes the count exactly WarnLines brings the
    // warning; the rest of the entry follows when the box is closed.
    const long long before = LineCount();
    const long long warnIndex = WarnLines - before - 1; // the line that makes WarnLines
    OpenEdit();
    if (lines.size() > 1 && warnIndex >= 1 && warnIndex < static_cast<long long>(lines.size())) {
        AppendLines(lines, 0, warnIndex + 1, format);
        // The box's own loop shows the log as it is meanwhile.
        CloseEdit();
        ShowLineWarning();
        OpenEdit();
        AppendLines(lines, warnIndex + 1, lines.size(), format);
    } else {
        AppendLines(lines, 0, lines.size(), format);
    }
    TrimToMaxLines();
    if (SetRoomCaption) SetRoomCaption(LineCountSuffix());
    if (!textCursor().atEnd()) {
        setTextCursor(EndCursor());
    }
    if (NotifyArrival) NotifyArrival();
}

QFont TChatLog::FontAsSeen() const {
    const QFontInfo seen(FontD);
    QFont font(seen.family());
    font.setStyleName(seen.styleName());
    font.setWeight(FontD.weight());
    font.setItalic(FontD.italic());
    font.setUnderline(FontD.underline());
    font.setStrikeOut(FontD.strikeOut());
    // The dialog counts in whole points; the log's size is in pixels
    // (13 px shows as 10 points).
    font.setPointSize(std::max(1, qRound(seen.pointSizeF())));
    return font;
}

void TChatLog::ChooseFont(QWidget* parent) {
    QFontDialog dialog(FontAsSeen(), parent);
    // What the dialog shows may differ still: a family without a bold face
    // is drawn bold in the log but offers only its regular style here.
    const QFont shown = dialog.currentFont();
    if (dialog.exec() != QDialog::Accepted) return;
    const QFont chosen = dialog.selectedFont();
    const bool unchanged =
        chosen.family() == shown.family() && chosen.styleName() == shown.styleName() &&
        chosen.weight() == shown.weight() && chosen.italic() == shown.italic() &&
        chosen.underline() == shown.underline() && chosen.strikeOut() == shown.strikeOut() &&
        chosen.pointSize() == shown.pointSize();
    if (!unchanged) FontD = chosen;
}

void TChatLog::ClearLogClick() {
    CloseEdit();
    clear();
    if (SetRoomCaption) SetRoomCaption(LineCountSuffix());
}

AnsiString TChatLog::LogAsText() const {
    AnsiString out;
    const int n = LineCount();
    QTextBlock block = document()->begin();
    for (int i = 0; i < n && block.isValid(); ++i, block = block.next()) {
        out += platform::FromQString(block.text());
        out += "\r\n";
    }
    return out;
}

std::string TChatLog::LogAsRtf() const {
    std::vector<chat::TRtfParagraph> paragraphs;
    const int n = LineCount();
    paragraphs.reserve(n);
    QTextBlock block = document()->begin();
    for (int i = 0; i < n && block.isValid(); ++i, block = block.next()) {
        chat::TRtfParagraph p;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment frag = it.fragment();
            if (!frag.isValid()) continue;
            const QTextCharFormat f = frag.charFormat();
            const QFont font = f.font();
            chat::TRtfRun run;
            run.Text = platform::FromQString(frag.text());
            run.FontName = platform::FromQString(font.family());
            run.Bold = font.bold();
            run.Italic = font.italic();
            run.Underline = font.underline();
            run.StrikeOut = font.strikeOut();
            run.HalfPoints = HalfPointsOf(f);
            run.Rgb = f.foreground().color().rgb() & 0xFFFFFF;
            p.push_back(std::move(run));
        }
        paragraphs.push_back(std::move(p));
    }
    return chat::WriteRtf(paragraphs);
}

void TChatLog::SaveLogToFile(const QString& fileName) const {
    const bool text =
        QFileInfo(fileName).suffix().compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0;
    const std::string data = text ? LogAsText() : LogAsRtf();
    QSaveFile file(fileName);
    // A writable file in a folder we may not create files in is still saved.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(data.data(), static_cast<qint64>(data.size())) !=
            static_cast<qint64>(data.size()) ||
        !file.commit())
        throw platform::Exception("Cannot create file " + platform::FromQString(fileName) + ": " +
                                  platform::FromQString(file.errorString()));
}

void TChatLog::SaveLogClick(const AnsiString& roomName) {
    QFileDialog dialog(window());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // A name typed without an extension gets the one of the filter shown,
    // so what is written is what the dialog said; a typed extension decides.
    struct Filter {
        QString Label;
        QString Suffix;
    };
    const Filter filters[] = {{U("リッチテキストファイル(．RTF) (*.rtf)"), QStringLiteral("rtf")},
                              {U("テキストファイル(．TXT) (*.txt)"), QStringLiteral("txt")}};
    dialog.setNameFilters({filters[0].Label, filters[1].Label});
    dialog.selectNameFilter(filters[0].Label);
    dialog.setDefaultSuffix(filters[0].Suffix);
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& label) {
        for (const Filter& f : filters)
            if (f.Label == label) dialog.setDefaultSuffix(f.Suffix);
    });
    // A "/" in a room name would propose a folder, not a file.
    QString proposed = platform::ToQString(roomName);
    proposed.replace(QLatin1Char('/'), QLatin1Char('_'));
    dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SaveLogToFile(dialog.selectedFiles().first());
}

QString TChatLog::QuotedSelection() const {
    QString selected = textCursor().selectedText();
    // The control marks paragraph ends with U+2029.
    selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    selected.replace(QChar::LineSeparator, QLatin1Char('\n'));
    QString mark;
    if (inyo1->isChecked())
        mark = QStringLiteral(">");
    else if (inyo2->isChecked())
        mark = QStringLiteral(">>");
    if (mark.isEmpty()) return selected;
    // Nothing selected has no lines to quote.
    if (selected.isEmpty()) return selected;
    selected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    selected.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = selected.split(QLatin1Char('\n'));
    // A selection ending with a line break does not start another line.
    if (lines.size() > 1 && lines.last().isEmpty()) lines.removeLast();
    QString out;
    for (const QString& line : lines)
        out += mark + line + QLatin1String("\r\n");
    return out;
}

void TChatLog::Copy1Click() {
    QApplication::clipboard()->setText(QuotedSelection());
}

void TChatLog::N3Click(QAction* item) {
    if (!item->isChecked()) return;
    for (QAction* a : {N3, inyo1, inyo2})
        if (a != item) a->setChecked(false);
}

void TChatLog::N2Click() {
    selectAll();
}

void TChatLog::contextMenuEvent(QContextMenuEvent* event) {
    PopupMenu1->exec(event->globalPos());
}

void TChatLog::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        platform::Guarded([this] { Copy1Click(); });
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}
