#include "TchatNameGuide.h"

#include "platform/Cp932.h"
#include "platform/QtText.h"

#include <QEvent>
#include <QListWidget>
#include <QPalette>
#include <QPlainTextEdit>
#include <QTextCursor>

namespace {

// Byte offsets into the message box's text count a line break as CR LF, the
// way the program holds memo text everywhere else.
AnsiString ToMemoBytes(QString text) {
    text.replace(QChar(QChar::LineSeparator), QLatin1Char('\n'));
    text.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return platform::FromQString(text);
}

QString FromMemoBytes(const AnsiString& bytes) {
    QString text = platform::ToQString(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

bool IsBlank(unsigned char c) {
    return c <= 32;
}

// The largest character start at or before `pos`: never between the two
// bytes of a double-byte character, nor between CR and LF.
size_t CharStartAtOrBefore(const AnsiString& text, size_t pos) {
    size_t start = 0;
    size_t i = 0;
    while (i < text.size() && i <= pos) {
        start = i;
        const auto c = static_cast<unsigned char>(text[i]);
        size_t step = 1;
        if (platform::IsLeadByte(c) && i + 1 < text.size())
            step = 2;
        else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            step = 2;
        i += step;
    }
    return i <= pos ? i : start;
}

const AnsiString kFullWidthGreater = "\x81\x84"; // "＞"

} // namespace

TchatNameGuide::TchatNameGuide(QWidget* window, QPlainTextEdit* memo,
                               std::function<std::vector<AnsiString>()> handles)
    : QObject(window), Window(window), Memo(memo), Handles(std::move(handles)) {
    ListBox = new QListWidget(window);
    ListBox->setObjectName(QStringLiteral("ListBox"));
    ListBox->setFrameShape(QFrame::NoFrame);
    ListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListBox->setUniformItemSizes(true);
    ListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox->setAutoFillBackground(true);
    QPalette pal = ListBox->palette();
    const QColor tip = pal.color(QPalette::ToolTipBase);
    pal.setColor(QPalette::Base, tip);
    pal.setColor(QPalette::Window, tip);
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    ListBox->setPalette(pal);
    ListBox->resize(129, 65);
    ListBox->hide();
    ListBox->installEventFilter(this);

    ShowGuideTimer = new QTimer(this);
    ShowGuideTimer->setObjectName(QStringLiteral("ShowGuideTimer"));
    ShowGuideTimer->setInterval(800);
    ShowGuideTimer->setTimerType(Qt::PreciseTimer);
    connect(ShowGuideTimer, &QTimer::timeout, this, [this] { ShowGuideTimerTimer(); });

    // The check runs once the events now pending (the key that changed the
    // box among them) have been handled; nothing runs while nothing changes.
    CheckTimer = new QTimer(this);
    CheckTimer->setSingleShot(true);
    CheckTimer->setInterval(0);
    connect(CheckTimer, &QTimer::timeout, this, [this] { CheckGuideTrigger(); });

    // Edits mark the box, and every key does (TchatKeys); a caret moved by
    // the mouse does not.
    if (Memo) {
        connect(Memo, &QPlainTextEdit::textChanged, this, [this] {
            if (!Inserting) MarkModified();
        });
    }
}

TchatNameGuide::~TchatNameGuide() = default;

void TchatNameGuide::MarkModified() {
    Modified = true;
    if (!CheckTimer->isActive()) CheckTimer->start();
}

void TchatNameGuide::SetActive(bool active) {
    Active = active;
    if (!active) ArmGuide(false);
}

void TchatNameGuide::CheckGuideTrigger() {
    if (!Modified || !Memo || !Active) return;
    Modified = false;
    const QString text = Memo->toPlainText();
    const int caret = Memo->textCursor().position();
    // An emptied box or a caret at the start has no ">" before it: a guide
    // still waiting would otherwise pop up over nothing.
    if (text.isEmpty() || caret <= 0) {
        ArmGuide(false);
        return;
    }
    const AnsiString before = platform::FromQString(text.mid(caret - 1, 1));
    ArmGuide(before == ">" || before == kFullWidthGreater);
}

void TchatNameGuide::ArmGuide(bool on) {
    ShowGuideTimer->stop();
    if (on) {
        ShowGuideTimer->start();
    } else {
        ListBox->hide();
    }
}

void TchatNameGuide::ShowGuideTimerTimer() {
    ShowGuideTimer->stop();
    if (!Memo || !Window) return;
    const QRect caret = Memo->cursorRect();
    const QPoint memoTop = Memo->mapTo(Window, QPoint(0, 0));
    const QPoint at = Memo->viewport()->mapTo(Window, caret.topLeft());
    const int y = at.y() - memoTop.y();
    const int guideHeight = ListBox->height();
    const int fontHeight = Window->font().pixelSize() > 0 ? Window->font().pixelSize() : 12;

    int top = fontHeight + y + memoTop.y();
    if (top + guideHeight > memoTop.y() + Memo->height())
        top = std::max(0, memoTop.y() + y - guideHeight);
    int left = at.x();
    if (left + ListBox->width() > Window->width()) left = Window->width() - ListBox->width();
    left = std::max(0, left);
    ListBox->move(left, top);

    ListBox->clear();
    const std::vector<AnsiString> handles = Handles ? Handles() : std::vector<AnsiString>();
    for (const AnsiString& handle : handles) {
        auto* item = new QListWidgetItem(platform::ToQString(handle), ListBox);
        item->setSizeHint(QSize(ListBox->width(), 12));
    }
    if (ListBox->count() > 0) ListBox->setCurrentRow(0);
    ListBox->raise();
    ListBox->show();
}

bool TchatNameGuide::ListBoxKeyDown(int key) {
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        InsertSelected();
        return true;
    case Qt::Key_Escape:
        ListBox->hide();
        if (Memo) Memo->setFocus();
        return true;
    case Qt::Key_Up:
        if (ListBox->currentRow() > 0) ListBox->setCurrentRow(ListBox->currentRow() - 1);
        return true;
    case Qt::Key_Down:
        if (ListBox->currentRow() + 1 < ListBox->count())
            ListBox->setCurrentRow(ListBox->currentRow() + 1);
        return true;
    default:
        return false;
    }
}

void TchatNameGuide::ListBoxEnter() {
    if (Memo) Memo->setFocus();
}

bool TchatNameGuide::Visible() const {
    return ListBox->isVisible();
}

AnsiString TchatNameGuide::SelectedHandle() const {
    const QListWidgetItem* item = ListBox->currentItem();
    return item ? platform::FromQString(item->text()) : AnsiString();
}

AnsiString TchatNameGuide::InsertHandle(const AnsiString& text, size_t caret,
                                        const AnsiString& handle, size_t& newCaret) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && IsBlank(static_cast<unsigned char>(text[last - 1])))
        --last;
    const AnsiString trimmed = text.substr(first, last - first);
    const size_t p = CharStartAtOrBefore(trimmed, std::min(caret, trimmed.size()));
    newCaret = p + handle.size();
    return trimmed.substr(0, p) + handle + trimmed.substr(p);
}

void TchatNameGuide::InsertSelected() {
    const AnsiString handle = SelectedHandle();
    ListBox->hide();
    if (!Memo) return;
    Memo->setFocus();
    const QString text = Memo->toPlainText();
    const int caretChars = Memo->textCursor().position();
    const size_t caret = ToMemoBytes(text.left(caretChars)).size();
    size_t newCaret = 0;
    const AnsiString result = InsertHandle(ToMemoBytes(text), caret, handle, newCaret);

    // One edit, so a single undo brings the old text back.
    Inserting = true;
    QTextCursor cursor(Memo->document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.insertText(FromMemoBytes(result));
    cursor.endEditBlock();
    cursor.setPosition(static_cast<int>(FromMemoBytes(result.substr(0, newCaret)).size()));
    Memo->setTextCursor(cursor);
    Inserting = false;
}

bool TchatNameGuide::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListBox && event->type() == QEvent::FocusIn) ListBoxEnter();
    return QObject::eventFilter(watched, event);
}
