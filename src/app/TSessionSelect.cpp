#include "TSessionSelect.h"

#include "platform/WindowPlace.h"

#include <QCloseEvent>
#include <QFont>
#include <QListWidget>
#include <QPushButton>

TSessionSelect::TSessionSelect(QWidget* owner) : QDialog(owner) {
    setObjectName("SessionSelect");
    setWindowTitle(QStringLiteral("入室するチャットルームを選択して下さい"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(true);
    // Some window managers draw a minimise button whatever the dialog asks
    // for; the start dialog behind would wait on a list out of sight.
    platform::StayUnminimised(this);
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(298, 175);

    SessionListBox = new QListWidget(this);
    SessionListBox->setObjectName("SessionListBox");
    SessionListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    SessionListBox->setGeometry(8, 8, 281, 129);
    // "Terminal" has no Linux counterpart; a fixed-pitch face that holds
    // Japanese is the closest.
    QFont listFont(QStringLiteral("Terminal"));
    listFont.setStyleHint(QFont::TypeWriter);
    listFont.setFamilies(
        {QStringLiteral("Terminal"), QStringLiteral("IPAGothic"), QStringLiteral("monospace")});
    listFont.setPixelSize(13);
    SessionListBox->setFont(listFont);

    btn_Join = new QPushButton(QStringLiteral("入室"), this);
    btn_Join->setObjectName("btn_Join");
    btn_Join->setGeometry(128, 144, 75, 25);
    btn_Join->setDefault(true);
    Button1 = new QPushButton(QStringLiteral("中止"), this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(214, 144, 75, 25);

    connect(btn_Join, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(Button1, &QPushButton::clicked, this, [this] { done(QDialog::Rejected + 2); });
}

QString TSessionSelect::SelectedName() const {
    const QListWidgetItem* item = SessionListBox->currentItem();
    return item ? item->text() : QString();
}

void TSessionSelect::FormShow() {
    if (SessionListBox->count() > 0) SessionListBox->setCurrentRow(0);
}

void TSessionSelect::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    platform::CentreOnScreen(this);
    FormShow();
}

void TSessionSelect::closeEvent(QCloseEvent* event) {
    event->ignore();
}
