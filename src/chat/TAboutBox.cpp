#include "TAboutBox.h"

#include "widgets/TchatShadowTitle.h"

#include "platform/WindowPlace.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <cmath>

TAboutBox::TAboutBox(QWidget* mainForm, QLabel* mainVersion, QWidget* parent)
    : QDialog(parent), mainForm_(mainForm), mainVersion_(mainVersion) {
    setObjectName("AboutBox");
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(325, 168);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(8, 8, 309, 113);

    ProgramIconFrame = new QFrame(Panel1);
    ProgramIconFrame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    ProgramIconFrame->setGeometry(8, 8, 36, 36);
    ProgramIcon = new QLabel(ProgramIconFrame);
    ProgramIcon->setObjectName("ProgramIcon");
    ProgramIcon->setGeometry(2, 2, 32, 32);
    ProgramIcon->setPixmap(TchatShadowTitle::ProgramPicture(32));

    ProductName =
        new TchatShadowTitle(QStringLiteral("Parlora for DirectPlay "), 21, QPoint(49, 14), Panel1);
    ProductName->setObjectName("ProductName");
    ProductName->setGeometry(0, 0, 309, 50);

    Version = new QLabel(Panel1);
    Version->setObjectName("Version");
    QFont versionFont;
    versionFont.setFamilies(
        {QStringLiteral("Century Schoolbook"), QStringLiteral("C059"), QStringLiteral("serif")});
    versionFont.setPixelSize(12);
    Version->setFont(versionFont);
    Version->setGeometry(49, 48, 250, 18);

    RoomState = new QLabel(Panel1);
    RoomState->setObjectName("RoomState");
    RoomState->setGeometry(49, 70, 250, 36);
    RoomState->setTextInteractionFlags(Qt::TextSelectableByMouse);
    RoomState->hide();

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName("OKButton");
    OKButton->setDefault(true);
    OKButton->setGeometry(125, 132, 75, 25);
    connect(OKButton, &QPushButton::clicked, this, [this] { done(1); });
}

void TAboutBox::FormShow() {
    if (mainVersion_) Version->setText(mainVersion_->text());
    if (mainForm_) {
        platform::PlaceFramed(this, [this] {
            if (!mainForm_) return;
            const QRect main = mainForm_->frameGeometry();
            const QSize own = platform::FrameSize(this);
            // Halves round to the nearest pixel, ties to even.
            const long top = main.top() + std::lrint((main.height() - own.height()) / 2.0);
            const long left = main.left() + std::lrint((main.width() - own.width()) / 2.0);
            platform::MoveFrameTo(this, QPoint(static_cast<int>(left), static_cast<int>(top)));
        });
    }
}

void TAboutBox::SetRoomState(const QString& text) {
    RoomState->setText(text);
    RoomState->setVisible(!text.isEmpty());
}

void TAboutBox::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}
