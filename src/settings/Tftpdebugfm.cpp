#include "Tftpdebugfm.h"

#include "platform/QtText.h"

#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {
constexpr int Left = 485, Top = 186, OuterWidth = 251, OuterHeight = 381;
} // namespace

Tftpdebugfm::Tftpdebugfm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("ftpdebugfm");
    setWindowTitle(QStringLiteral("ホームページ更新ＬＯＧ"));
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPixelSize(12);
    setFont(font);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette face = Memo1->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    Memo1->setPalette(face);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setFixedHeight(19);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Memo1, 1);
    layout->addWidget(StatusBar1);

    move(Left, Top);
    resize(OuterWidth, OuterHeight);
}

Tftpdebugfm::~Tftpdebugfm() = default;

void Tftpdebugfm::AddLine(const AnsiString& line) {
    Memo1->appendPlainText(platform::ToQString(line));
}

std::vector<AnsiString> Tftpdebugfm::Lines() const {
    std::vector<AnsiString> lines;
    const QTextDocument* doc = Memo1->document();
    if (doc->isEmpty()) return lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines.push_back(platform::FromQString(b.text()));
    return lines;
}

void Tftpdebugfm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (placed_) return;
    placed_ = true;
    // The size is that of the whole window, frame included; the frame is
    // known only once the window is on screen.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isValid() && !frame.isEmpty())
        resize(OuterWidth - frame.width(), OuterHeight - frame.height());
}
