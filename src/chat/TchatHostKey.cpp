#include "TchatHostKey.h"

#include "identity/Texts.h"

#include <QMessageBox>
#include <QPushButton>

bool AskEnterWithChangedHostKey(QWidget* parent, const dplay::DPHOSTKEYCHANGE& change) {
    QMessageBox box(parent);
    box.setObjectName("HostKeyWarning");
    box.setWindowTitle(QStringLiteral("ホストの鍵が変わりました"));
    box.setIcon(QMessageBox::Warning);
    const identity::TFingerprint old{change.Old}, now{change.Now};
    box.setText(QString::fromStdString(identity::KeyChangedWarning(change.Address, old, now)));
    // The whole keys, for a comparison with what the host reads out.
    box.setDetailedText(QStringLiteral("前の鍵:\n") + QString::fromStdString(old.Full()) +
                        QStringLiteral("\n今の鍵:\n") + QString::fromStdString(now.Full()));
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* enter = box.addButton(QStringLiteral("入室する"), QMessageBox::AcceptRole);
    QPushButton* stay = box.addButton(QStringLiteral("入室しない"), QMessageBox::RejectRole);
    enter->setObjectName("EnterButton");
    stay->setObjectName("StayOutButton");
    box.setDefaultButton(stay);
    box.setEscapeButton(stay);
    box.exec();
    return box.clickedButton() == enter;
}

QString RoomSecurityText(const dplay::DPROOMSECURITY& security, bool inRoom) {
    if (!inRoom) return QStringLiteral("入室していません");
    if (!security.Encrypted) return QStringLiteral("暗号化なし");
    const QString key =
        security.HostKey ? QString::fromStdString(identity::TFingerprint{*security.HostKey}.Short())
                         : QStringLiteral("(新しいホストの鍵は未確認)");
    return QStringLiteral("暗号化通信 (TLS 1.3)\nホストの鍵: ") + key;
}
