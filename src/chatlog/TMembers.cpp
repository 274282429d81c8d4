#include "TMembers.h"

#include "chat_core/ChatPayload.h"
#include "platform/QtText.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextEdit>

namespace {

// Player names are CP932; letter case is ignored for the ASCII letters only,
// never for the second byte of a double-byte character.
bool SameNameIgnoringCase(const AnsiString& a, const AnsiString& b) {
    if (a.size() != b.size()) return false;
    bool trail = false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (trail) {
            if (x != y) return false;
            trail = false;
            continue;
        }
        if ((x >= 0x81 && x <= 0x9F) || (x >= 0xE0 && x <= 0xFC)) trail = true;
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

QColor LabelColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

} // namespace

TMembers::TMembers(QWidget* panel) : Panel(panel) {}

TMembers::~TMembers() {
    for (TEntry& e : Names)
        delete e.Label.data();
}

const std::vector<QColor>& TMembers::Palette() {
    static const std::vector<QColor> colors = {
        QColor(0x00, 0x00, 0x00), QColor(0x00, 0x00, 0xFF), QColor(0x00, 0x80, 0x00),
        QColor(0x80, 0x00, 0x00), QColor(0x80, 0x80, 0x80), QColor(0xFF, 0x00, 0xFF),
        QColor(0x00, 0xFF, 0x00), QColor(0xC0, 0xC0, 0xC0), QColor(0x00, 0x00, 0x80),
        QColor(0x80, 0x80, 0x00), QColor(0x80, 0x00, 0x80), QColor(0x00, 0x80, 0x80),
        QColor(0x00, 0xFF, 0xFF),
    };
    return colors;
}

int TMembers::IndexOf(const AnsiString& playerName) const {
    for (size_t i = 0; i < Names.size(); ++i)
        if (SameNameIgnoringCase(Names[i].Name, playerName)) return static_cast<int>(i);
    return -1;
}

QColor TMembers::FreeColor() const {
    for (const QColor& c : Palette()) {
        bool used = false;
        for (const TEntry& e : Names)
            if (e.Label && LabelColor(e.Label) == c) used = true;
        if (!used) return c;
    }
    return Palette().front();
}

void TMembers::Add(const AnsiString& playerName) {
    if (IndexOf(playerName) >= 0) return;
    auto* label = new QLabel(platform::ToQString(chat::HandleOf(playerName)), Panel);
    label->setToolTip(platform::ToQString(playerName));
    label->setFocusPolicy(Qt::NoFocus);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, FreeColor());
    label->setPalette(pal);
    label->setAutoFillBackground(true);
    label->adjustSize();
    label->installEventFilter(this);
    label->show();
    Names.push_back(TEntry{playerName, label});
    Arrange();
}

void TMembers::Remove(const AnsiString& playerName) {
    int i = IndexOf(playerName);
    if (i < 0) return;
    delete Names[i].Label.data();
    Names.erase(Names.begin() + i);
    Arrange();
}

QColor TMembers::ColorOf(const AnsiString& playerName) const {
    int i = playerName.empty() ? -1 : IndexOf(playerName);
    if (i < 0 || !Names[i].Label) return QColor(0xFF, 0x00, 0x00);
    return LabelColor(Names[i].Label);
}

bool TMembers::Visible() const {
    return Panel && !Panel->isHidden();
}

void TMembers::SetVisible(bool visible) {
    if (Panel) Panel->setVisible(visible);
}

void TMembers::Arrange() {
    if (!Panel) return;
    if (Names.empty()) {
        Panel->hide();
        return;
    }
    Panel->setVisible(!IsShowMemberChecked || IsShowMemberChecked());
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    int left = 3;
    int top = 5;
    int lastHeight = 0;
    for (TEntry& e : Names) {
        QLabel* label = e.Label;
        if (!label) continue;
        label->move(left, top);
        QPalette pal = label->palette();
        pal.setColor(QPalette::Window, e.Name == SelfName ? QColor(Qt::white) : buttonFace);
        label->setPalette(pal);
        lastHeight = label->height();
        left += label->width() + 3;
        // The test runs after placing, so a label too wide for the row stays
        // where it is and only the next one wraps.
        if (left > Panel->width()) {
            left = 3;
            top += label->height() + 3;
        }
    }
    Panel->setFixedHeight(top + lastHeight + 3);
}

void TMembers::SetMemo(QPlainTextEdit* memo) {
    PlainMemo = memo;
    RichMemo = nullptr;
}

void TMembers::SetMemo(QTextEdit* memo) {
    RichMemo = memo;
    PlainMemo = nullptr;
}

QString TMembers::MemoTextAfterClick(const QString& memoText, const QString& hint) {
    if (memoText.isEmpty()) return hint;
    // Only the last line changes; a final line break stays after it.
    qsizetype end = memoText.size();
    if (memoText.endsWith(QLatin1String("\r\n")))
        end -= 2;
    else if (memoText.endsWith(QLatin1Char('\n')) || memoText.endsWith(QLatin1Char('\r')))
        end -= 1;
    qsizetype begin = end;
    while (begin > 0 && memoText[begin - 1] != QLatin1Char('\n') &&
           memoText[begin - 1] != QLatin1Char('\r'))
        --begin;
    QString lastLine = memoText.mid(begin, end - begin);
    return memoText.left(begin) + lastLine + QLatin1Char(' ') + hint + memoText.mid(end);
}

void TMembers::MemberClick(QLabel* label) {
    if (!label) return;
    const QString hint = label->toolTip();
    if (PlainMemo) {
        PlainMemo->setPlainText(MemoTextAfterClick(PlainMemo->toPlainText(), hint));
        PlainMemo->moveCursor(QTextCursor::End);
    } else if (RichMemo) {
        RichMemo->setPlainText(MemoTextAfterClick(RichMemo->toPlainText(), hint));
        RichMemo->moveCursor(QTextCursor::End);
    }
}

bool TMembers::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        auto* label = qobject_cast<QLabel*>(watched);
        if (label && me->button() == Qt::LeftButton && label->rect().contains(me->pos())) {
            MemberClick(label);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
