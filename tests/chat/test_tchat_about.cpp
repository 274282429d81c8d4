// The version dialog: caption, the main form's version text, and its place
// centred over where the main form was.
#include "chat/TAboutBox.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

TEST(AboutBox, TakesTheVersionTextAndCentresOverTheHiddenMainForm) {
    QWidget mainForm(nullptr, Qt::FramelessWindowHint);
    QLabel version(QStringLiteral("Version 3.2b   "), &mainForm);
    TAboutBox about(&mainForm, &version);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    EXPECT_EQ(about.size(), QSize(325, 168));
    about.show(); // learn the dialog's outer size on this platform
    QCoreApplication::processEvents();
    const QSize outer = about.frameGeometry().size();
    about.hide();

    // Differences of +17 and -15 halve to 8.5 and -7.5, which go to the
    // even neighbours 8 and -8.
    mainForm.setGeometry(101, 200, outer.width() + 17, outer.height() - 15);
    mainForm.show();
    QCoreApplication::processEvents();
    mainForm.hide(); // its last place still counts
    about.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(about.Version->text(), "Version 3.2b   ");
    EXPECT_EQ(about.frameGeometry().topLeft(), QPoint(101 + 8, 200 - 8));

    about.OKButton->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), 1);
}

} // namespace
