#include "TTempfm.h"

#include "platform/ErrorHandler.h"
#include "platform/FontAliases.h"
#include "platform/QtText.h"
#include "platform/WindowPlace.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>

using templates::TemplateLines;

namespace {

// The message box's lines as the user typed them (line breaks, not wrapping).
QStringList MemoLines(QWidget* memo) {
    QString text;
    if (auto* p = qobject_cast<QPlainTextEdit*>(memo))
        text = p->toPlainText();
    else if (auto* t = qobject_cast<QTextEdit*>(memo))
        text = t->toPlainText();
    if (text.isEmpty()) return {};
    return text.split(QChar('\n'));
}

void SetMemoText(QWidget* memo, const QString& text) {
    if (auto* p = qobject_cast<QPlainTextEdit*>(memo)) {
        p->setPlainText(text);
        p->moveCursor(QTextCursor::End);
    } else if (auto* t = qobject_cast<QTextEdit*>(memo)) {
        t->setPlainText(text);
        t->moveCursor(QTextCursor::End);
    }
}

} // namespace

TTempfm::TTempfm(std::filesystem::path file, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      file_(std::move(file)) {
    setWindowTitle("Message Template");
    setFixedSize(175, 336);
    ListBox = new QListWidget(this);
    ListBox->setGeometry(0, 0, 175, 297);
    // The program's gothic, as every window has it.
    QFont gothic;
    gothic.setFamilies(platform::GothicFamilies());
    gothic.setPixelSize(12);
    setFont(gothic);
    ListBox->setFont(gothic);
    ListBox->setUniformItemSizes(true);
    btn_Put = new QPushButton(QString::fromUtf8("登録"), this);
    btn_Put->setGeometry(8, 304, 75, 25);
    btn_del = new QPushButton(QString::fromUtf8("削除"), this);
    btn_del->setGeometry(92, 304, 75, 25);
    connect(btn_Put, &QPushButton::clicked, this, [this] { btn_PutClick(); });
    connect(btn_del, &QPushButton::clicked, this, [this] { btn_delClick(); });
    connect(ListBox, &QListWidget::itemDoubleClicked, this, [this] { ListBoxDblClick(); });
    // Key preview: Enter anywhere in the window inserts the selected template.
    ListBox->installEventFilter(this);
    btn_Put->installEventFilter(this);
    btn_del->installEventFilter(this);
    LoadTemplates();
}

TTempfm::~TTempfm() {
    SaveTemplates();
}

void TTempfm::SetChat(QWidget* chatWindow, QWidget* memo) {
    chat_ = chatWindow;
    memo_ = memo;
}

void TTempfm::Append(TemplateLines lines) {
    ListBox->addItem(platform::ToQString(lines.front()));
    cells_.push_back(std::move(lines));
}

void TTempfm::LoadTemplates() {
    for (auto& t : templates::LoadTemplateFile(file_))
        Append(std::move(t));
}

void TTempfm::SaveTemplates() {
    if (saved_) return;
    saved_ = true;
    std::string error = templates::SaveTemplateFile(file_, cells_);
    if (!error.empty())
        platform::MessageBoxQ(nullptr,
                              QString::fromUtf8("テンプレートを保存できませんでした: ") +
                                  QString::fromStdString(error),
                              "Parlora", platform::MB_OK | platform::MB_ICONERROR);
}

void TTempfm::btn_PutClick() {
    if (!memo_) return; // no chat window yet: nothing to register
    QStringList lines = MemoLines(memo_);
    if (lines.isEmpty()) return;
    TemplateLines cell;
    for (const auto& l : lines)
        cell.push_back(platform::FromQString(l));
    Append(std::move(cell));
    SetMemoText(memo_, QString());
}

int TTempfm::SelectedRow() const {
    const QListWidgetItem* item = ListBox->currentItem();
    return item && item->isSelected() ? ListBox->currentRow() : -1;
}

void TTempfm::btn_delClick() {
    int row = SelectedRow();
    if (row < 0) return;
    delete ListBox->takeItem(row);
    cells_.erase(cells_.begin() + row);
    // Nothing is selected afterwards: a second press must not delete the
    // neighbour the list would otherwise move to.
    ListBox->setCurrentRow(-1);
    ListBox->clearSelection();
}

void TTempfm::ListBoxDblClick() {
    int row = SelectedRow();
    if (row < 0 || !memo_) return;
    QStringList lines;
    for (const auto& l : cells_[static_cast<size_t>(row)])
        lines << platform::ToQString(l);
    SetMemoText(memo_, lines.join(QChar('\n')));
    if (chat_) chat_->activateWindow();
    memo_->setFocus();
}

bool TTempfm::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            if (SelectedRow() >= 0) ListBoxDblClick();
            return true; // Enter's character goes nowhere
        }
    }
    return QWidget::eventFilter(watched, e);
}

void TTempfm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    FormShow();
}

void TTempfm::FormShow() {
    QScreen* screen = QGuiApplication::primaryScreen();
    QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    if (chat_ && chat_->isVisible()) {
        // The frame's top-left corner on the chat window's top-right.
        platform::PlaceFramed(this, [this, area] {
            if (!chat_) return;
            const QRect c = chat_->frameGeometry();
            const int width = platform::FrameSize(this).width();
            int left = c.right() + 1;
            if (left + width > area.width()) left = area.width() - width;
            platform::MoveFrameTo(this, QPoint(left, c.top()));
        });
    } else {
        platform::CentreOnScreen(this);
    }
}
