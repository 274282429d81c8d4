#include "SettingsTestBase.h"

#include "settings/SettingsKeys.h"
#include "settings/TOptfm.h"

#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "platform/QtText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

using settings::kMainKey;
using settings::kNotifyKey;

namespace fs = std::filesystem;

namespace {

TOptfm::TAddressLister Addresses(std::vector<AnsiString> list) {
    return [list] { return list; };
}

std::vector<QLineEdit*> Edits(const TOptfm& f) {
    return {f.Edftpaddress, f.EdLogin, f.Edpwd, f.Edconnecting, f.Eddisconnect, f.Edftpdir};
}

// The controls that follow cbNotify.
std::vector<QWidget*> NotifyControls(const TOptfm& f) {
    return {f.Edftpaddress, f.EdLogin, f.Edpwd,   f.Edconnecting, f.Eddisconnect, f.Edftpdir,
            f.cbftpdebug,   f.Button2, f.Button3, f.Label8,       f.cbFtpTls};
}

std::vector<bool> RadioStates(const TOptfm& f) {
    return {f.K2->isChecked(), f.K3->isChecked(), f.K4->isChecked(), f.K5->isChecked()};
}

// Runs `action` once, from the event loop, after `w` has next been shown; a
// modal dialog can then be answered from inside its own exec().
void OnNextShow(QWidget* w, std::function<void()> action) {
    struct TFilter : QObject {
        std::function<void()> Action;
        bool eventFilter(QObject* watched, QEvent* e) override {
            if (e->type() == QEvent::Show) {
                watched->removeEventFilter(this);
                QTimer::singleShot(0, watched, Action);
                deleteLater();
            }
            return false;
        }
    };
    auto* filter = new TFilter;
    filter->Action = std::move(action);
    w->installEventFilter(filter);
}

} // namespace

class OptionsDialog : public TSettingsTest {};

TEST_F(OptionsDialog, FirstRunShowsTheDesignedStateAndLoadCreatesNothing) {
    TOptfm f(nullptr, Addresses({"127.0.0.1"}));
    EXPECT_EQ(f.windowTitle(), QStringLiteral("設定"));
    EXPECT_EQ(f.size(), QSize(314, 392));
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet1);
    EXPECT_EQ(f.PageControl1->tabText(1), QStringLiteral("ＩＰアドレス通知"));
    EXPECT_TRUE(f.cbNotify->font().bold());
    EXPECT_EQ(f.cbNotify->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    EXPECT_EQ(f.Label4->text(), QStringLiteral("起動中のHTML"));
    EXPECT_EQ(f.Label5->text(), QStringLiteral("終了時のＨＴＭＬ"));
    EXPECT_EQ(f.Edpwd->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(f.Od->nameFilters(), QStringList{"html (*.htm *.html)"});
    EXPECT_EQ(f.Label8->text(), QStringLiteral("FTPの暗号化(TLS)"));
    ASSERT_EQ(f.cbFtpTls->count(), 3);
    EXPECT_EQ(f.cbFtpTls->itemText(0), QStringLiteral("必須"));
    EXPECT_EQ(f.cbFtpTls->itemText(1), QStringLiteral("使えれば使う"));
    EXPECT_EQ(f.cbFtpTls->itemText(2), QStringLiteral("使わない"));
    EXPECT_EQ(f.cbFtpTls->currentText(), QStringLiteral("使えれば使う"));
    EXPECT_EQ(f.FtpTlsMode(), net::TTlsMode::WhenOffered);

    f.LoadSettings();
    EXPECT_EQ(RadioStates(f), (std::vector<bool>{false, false, false, true}));
    for (QCheckBox* c : {f.cb_Enter, f.cbNotify, f.cbftpdebug})
        EXPECT_FALSE(c->isChecked());
    for (QLineEdit* e : Edits(f))
        EXPECT_TRUE(e->text().isEmpty());
    for (QWidget* w : NotifyControls(f))
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(Machine().KeyExists(kMainKey));
    EXPECT_FALSE(Machine().KeyExists(kNotifyKey));
    EXPECT_TRUE(Boxes.empty());

    f.SaveSettings();
    EXPECT_EQ(*Machine().ValueNames(kMainKey),
              (std::vector<AnsiString>{"main_K2", "main_K3", "main_K4", "main_K5", "chatenter"}));
    EXPECT_EQ(*Machine().ValueNames(kNotifyKey),
              (std::vector<AnsiString>{"Notify", "ftpaddress", "Login", "pwd", "connecting",
                                       "disconnect", "ftpdir", "ftpdebug", "ftptls"}));
    EXPECT_EQ(Machine().QueryValue(kMainKey, "main_K5")->Data, Dword(1));
    EXPECT_EQ(Machine().QueryValue(kNotifyKey, "ftptls")->Data, Dword(0));
}

TEST_F(OptionsDialog, SaveAndLoadRoundTripEveryValue) {
    const QString texts[] = {
        QStringLiteral("ftp.example.jp"),   QStringLiteral("  login with blanks  "),
        QStringLiteral("パスワード表ソ能"), QStringLiteral("/home/花子/start page.html"),
        QStringLiteral("/tmp/終了①.htm"),   QStringLiteral("public_html\\ip\\index.html")};
    {
        TOptfm f(nullptr, Addresses({}));
        f.K3->setChecked(true);
        f.cb_Enter->setChecked(true);
        f.cbNotify->setChecked(true);
        f.cbftpdebug->setChecked(true);
        auto edits = Edits(f);
        for (size_t i = 0; i < edits.size(); ++i)
            edits[i]->setText(texts[i]);
        f.SaveSettings();
    }
    // The password is stored as typed, readable in the file.
    auto pwd = Machine().QueryValue(kNotifyKey, "pwd");
    ASSERT_TRUE(pwd);
    EXPECT_EQ(pwd->Type, platform::REG_SZ);
    EXPECT_EQ(pwd->Data, platform::Utf8ToCp932("パスワード表ソ能"));

    TOptfm g(nullptr, Addresses({}));
    g.LoadSettings();
    EXPECT_EQ(RadioStates(g), (std::vector<bool>{false, true, false, false}));
    EXPECT_TRUE(g.cb_Enter->isChecked());
    EXPECT_TRUE(g.cbNotify->isChecked());
    EXPECT_TRUE(g.cbftpdebug->isChecked());
    auto edits = Edits(g);
    for (size_t i = 0; i < edits.size(); ++i)
        EXPECT_EQ(edits[i]->text(), texts[i]);
    // Loading a changed cbNotify runs its reaction.
    for (QWidget* w : NotifyControls(g))
        EXPECT_TRUE(w->isEnabled());
}

// Each choice of the encryption goes to the store as its own number and
// comes back; settings saved before the choice existed, or a number no
// choice has, leave the dialog's default.
TEST_F(OptionsDialog, FtpEncryptionChoiceRoundTrips) {
    for (auto [text, mode, stored] : {std::tuple{"必須", net::TTlsMode::Required, 1},
                                      std::tuple{"使わない", net::TTlsMode::Never, 2},
                                      std::tuple{"使えれば使う", net::TTlsMode::WhenOffered, 0}}) {
        {
            TOptfm f(nullptr, Addresses({}));
            f.cbFtpTls->setCurrentText(QString::fromUtf8(text));
            EXPECT_EQ(f.FtpTlsMode(), mode);
            f.SaveSettings();
        }
        auto value = Machine().QueryValue(kNotifyKey, "ftptls");
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(value->Data, Dword(stored)) << text;
        TOptfm g(nullptr, Addresses({}));
        // Another choice before the load, so that the load has to make it.
        g.cbFtpTls->setCurrentIndex((g.cbFtpTls->findData(static_cast<int>(mode)) + 1) % 3);
        g.LoadSettings();
        EXPECT_EQ(g.FtpTlsMode(), mode) << text;
        EXPECT_EQ(g.cbFtpTls->currentText(), QString::fromUtf8(text));
    }
    ASSERT_TRUE(Machine().DeleteValue(kNotifyKey, "ftptls"));
    {
        TOptfm f(nullptr, Addresses({}));
        f.LoadSettings();
        EXPECT_EQ(f.FtpTlsMode(), net::TTlsMode::WhenOffered);
    }
    PutDword(kNotifyKey, "ftptls", 7);
    TOptfm f(nullptr, Addresses({}));
    f.LoadSettings();
    EXPECT_EQ(f.FtpTlsMode(), net::TTlsMode::WhenOffered);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(OptionsDialog, RadioGroupTakesTheLastTrueAndCanBeLeftEmpty) {
    struct Case {
        uint32_t k2, k3, k4, k5;
        std::vector<bool> expected;
    } cases[] = {
        {1, 0, 1, 0, {false, false, true, false}},
        {1, 1, 1, 1, {false, false, false, true}},
        {7, 0, 0, 0, {true, false, false, false}}, // any non-zero is true
        {0, 0, 0, 0, {false, false, false, false}},
    };
    for (const Case& c : cases) {
        PutDword(kMainKey, "main_K2", c.k2);
        PutDword(kMainKey, "main_K3", c.k3);
        PutDword(kMainKey, "main_K4", c.k4);
        PutDword(kMainKey, "main_K5", c.k5);
        PutDword(kMainKey, "chatenter", 0);
        TOptfm f(nullptr, Addresses({}));
        f.LoadSettings();
        EXPECT_EQ(RadioStates(f), c.expected) << c.k2 << c.k3 << c.k4 << c.k5;
    }
    // With nothing chosen the user can still choose, and a save writes all false.
    TOptfm f(nullptr, Addresses({}));
    f.LoadSettings();
    f.SaveSettings();
    EXPECT_EQ(Machine().QueryValue(kMainKey, "main_K5")->Data, Dword(0));
    f.K4->click();
    EXPECT_EQ(RadioStates(f), (std::vector<bool>{false, false, true, false}));
}

TEST_F(OptionsDialog, LoadStopsSilentlyAtTheFirstUnreadableValue) {
    // A main key without main_K2: nothing is read and \Notify is not created.
    PutDword(kMainKey, "main_K3", 1);
    {
        TOptfm f(nullptr, Addresses({}));
        f.LoadSettings();
        EXPECT_EQ(RadioStates(f), (std::vector<bool>{false, false, false, true}));
        EXPECT_FALSE(Machine().KeyExists(kNotifyKey));
    }
    // A wrong type part-way: what came before is applied, the rest keeps its state.
    PutDword(kMainKey, "main_K2", 0);
    PutString(kMainKey, "main_K4", "1");
    {
        TOptfm f(nullptr, Addresses({}));
        f.cb_Enter->setChecked(true);
        f.LoadSettings();
        EXPECT_EQ(RadioStates(f), (std::vector<bool>{false, true, false, false}));
        EXPECT_TRUE(f.cb_Enter->isChecked());
    }
    // A readable main key: \Notify is created by the load; missing strings read
    // as empty, a string stored as a number ends the load there.
    PutDword(kMainKey, "main_K4", 0);
    PutDword(kMainKey, "main_K5", 0);
    PutDword(kMainKey, "chatenter", 1);
    {
        TOptfm f(nullptr, Addresses({}));
        f.Edftpaddress->setText("kept?");
        f.LoadSettings();
        EXPECT_TRUE(f.cb_Enter->isChecked());
        EXPECT_TRUE(Machine().KeyExists(kNotifyKey));
        EXPECT_EQ(f.Edftpaddress->text(), "kept?"); // Notify missing: stopped before it
    }
    PutDword(kNotifyKey, "Notify", 1);
    PutString(kNotifyKey, "Login", "taro");
    PutDword(kNotifyKey, "pwd", 1234);
    PutString(kNotifyKey, "ftpdir", "dir");
    {
        TOptfm f(nullptr, Addresses({}));
        f.Edftpaddress->setText("cleared");
        f.Edftpdir->setText("unchanged");
        f.LoadSettings();
        EXPECT_TRUE(f.cbNotify->isChecked());
        EXPECT_TRUE(f.Edftpaddress->isEnabled());
        EXPECT_EQ(f.Edftpaddress->text(), "");
        EXPECT_EQ(f.EdLogin->text(), "taro");
        EXPECT_EQ(f.Edftpdir->text(), "unchanged");
    }
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(OptionsDialog, NotifyCheckEnablesTheControlsBelowItAndKeepsTheirText) {
    TOptfm f(nullptr, Addresses({}));
    f.PageControl1->setCurrentWidget(f.TabSheet2);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    QTest::mouseClick(f.cbNotify, Qt::LeftButton);
    ASSERT_TRUE(f.cbNotify->isChecked());
    for (QWidget* w : NotifyControls(f))
        EXPECT_TRUE(w->isEnabled());
    // Every control of the tab fits the fixed size of the dialog.
    for (QWidget* w : NotifyControls(f))
        EXPECT_TRUE(f.rect().contains(QRect(w->mapTo(&f, QPoint(0, 0)), w->size())))
            << w->objectName().toStdString();
    // PARLORA_SCREENSHOT_DIR=docs/screenshots keeps a picture of the tab.
    if (const char* shots = std::getenv("PARLORA_SCREENSHOT_DIR")) {
        EXPECT_TRUE(f.grab().save(QString::fromLocal8Bit(shots) + "/options-dialog-notify.png"));
    }
    f.EdLogin->setText("user");
    f.cbftpdebug->setChecked(true);
    QTest::mouseClick(f.cbNotify, Qt::LeftButton);
    for (QWidget* w : NotifyControls(f))
        EXPECT_FALSE(w->isEnabled());
    EXPECT_EQ(f.EdLogin->text(), "user");
    EXPECT_TRUE(f.cbftpdebug->isChecked());
    // The disabled values are saved as they are.
    f.SaveSettings();
    EXPECT_EQ(Machine().QueryValue(kNotifyKey, "Login")->Data, "user");
    EXPECT_EQ(Machine().QueryValue(kNotifyKey, "ftpdebug")->Data, Dword(1));
}

TEST_F(OptionsDialog, OkSavesAndClosesEvenWhenTheSaveFails) {
    {
        TOptfm f(nullptr, Addresses({}));
        f.K2->setChecked(true);
        f.show();
        QTest::mouseClick(f.Button1, Qt::LeftButton);
        EXPECT_EQ(f.result(), QDialog::Accepted);
        EXPECT_FALSE(f.isVisible());
        EXPECT_EQ(Machine().QueryValue(kMainKey, "main_K2")->Data, Dword(1));
    }
    // A settings folder that cannot exist: the first write fails, the box
    // names the value, and the dialog still closes with OK.
    std::ofstream(dir_ / "file");
    UseRegistryDir((dir_ / "file" / "sub").string());
    TOptfm f(nullptr, Addresses({}));
    f.show();
    QTest::mouseClick(f.Button1, Qt::LeftButton);
    EXPECT_EQ(f.result(), QDialog::Accepted);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QStringLiteral("'main_K2' の設定に失敗しました"));
    EXPECT_EQ(Boxes[0].Caption, "Parlora");
    // Closing without OK does not write.
    UseRegistryDir(dir_.Path().string());
    TOptfm g(nullptr, Addresses({}));
    g.K3->setChecked(true);
    g.show();
    g.reject();
    EXPECT_EQ(Machine().QueryValue(kMainKey, "main_K3")->Data, Dword(0));
}

TEST_F(OptionsDialog, ReturnPressesTheFocusedButtonButNotOkFromAnEditBox) {
    TOptfm f(nullptr, Addresses({}));
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.PageControl1->setCurrentIndex(1);
    f.cbNotify->setChecked(true);
    for (QLineEdit* edit : Edits(f)) {
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Enter);
    }
    EXPECT_TRUE(f.isVisible()) << "Return in an edit box closed the dialog";
    EXPECT_FALSE(f.Button1->isDefault());

    // A focused "参照" opens its file dialog.
    bool browsed = false;
    OnNextShow(f.Od, [&] {
        browsed = true;
        f.Od->reject();
    });
    f.Button2->setFocus();
    QTest::keyClick(f.Button2, Qt::Key_Return);
    EXPECT_TRUE(browsed);
    EXPECT_TRUE(f.isVisible());

    f.Button1->setFocus();
    QTest::keyClick(f.Button1, Qt::Key_Enter);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.result(), QDialog::Accepted);
    EXPECT_EQ(Machine().QueryValue(kNotifyKey, "Notify")->Data, Dword(1)) << "OK saved";
}

TEST_F(OptionsDialog, OwnAddressesFillTheListOnce) {
    TOptfm f(nullptr, Addresses({"127.0.0.2", "", "127.0.0.3"}));
    ASSERT_EQ(f.Pnl_IPaddress->count(), 2);
    EXPECT_EQ(f.OwnIPAddress(), "127.0.0.2");
    f.Pnl_IPaddress->setCurrentIndex(1);
    EXPECT_EQ(f.OwnIPAddress(), "127.0.0.3");
    EXPECT_FALSE(f.Pnl_IPaddress->isEditable());

    // The machine's own list, here set by the environment.
    ::setenv("PARLORA_OWN_IP", "127.0.0.4;127.0.0.5", 1);
    TOptfm g;
    ::unsetenv("PARLORA_OWN_IP");
    EXPECT_EQ(g.OwnIPAddress(), "127.0.0.4");
    EXPECT_EQ(g.Pnl_IPaddress->count(), 2);

    // No address: an empty list and an empty own address, no message.
    TOptfm h(nullptr, Addresses({}));
    EXPECT_EQ(h.OwnIPAddress(), "");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(OptionsDialog, APublicOrGlobalAddressComesBeforeTheLansOwn) {
    // Before any router answers: a public IPv4 address, then a global IPv6
    // one, then what only the LAN reaches, each kind in the machine's order.
    TOptfm f(nullptr, Addresses({"192.168.50.10", "127.0.0.1", "203.0.113.7", "10.0.0.5",
                                 "2001:db8:50::10"}));
    std::vector<std::string> listed;
    for (int i = 0; i < f.Pnl_IPaddress->count(); ++i)
        listed.push_back(f.Pnl_IPaddress->itemText(i).toStdString());
    EXPECT_EQ(listed, (std::vector<std::string>{"203.0.113.7", "2001:db8:50::10",
                                                "192.168.50.10", "127.0.0.1", "10.0.0.5"}));
    EXPECT_EQ(f.OwnIPAddress(), "203.0.113.7");
    // The mapped public address goes before all of them.
    f.SetReach({"11.22.33.1"}, "");
    EXPECT_EQ(f.OwnIPAddress(), "11.22.33.1");
    EXPECT_EQ(f.Pnl_IPaddress->itemText(2), "2001:db8:50::10");
}

TEST_F(OptionsDialog, WhatOutsidersCanReachGoesFirstAndTheNoticeUnderTheList) {
    TOptfm f(nullptr, Addresses({"192.168.50.10", "10.0.0.5"}));
    EXPECT_TRUE(f.LblReach->isHidden());

    // The router's public address arrives: it becomes entry 0 and chosen.
    f.SetReach({"11.22.33.1"}, "");
    ASSERT_EQ(f.Pnl_IPaddress->count(), 3);
    EXPECT_EQ(f.OwnIPAddress(), "11.22.33.1");
    EXPECT_EQ(f.Pnl_IPaddress->itemText(1), "192.168.50.10");
    EXPECT_EQ(f.Pnl_IPaddress->itemText(2), "10.0.0.5");

    // Another public port: the address carries it; the machine's own
    // addresses stay once each.
    f.SetReach({"11.22.33.1:47625"}, "");
    ASSERT_EQ(f.Pnl_IPaddress->count(), 3);
    EXPECT_EQ(f.OwnIPAddress(), "11.22.33.1:47625");

    // A user's own choice stays when the list changes.
    f.Pnl_IPaddress->setCurrentIndex(2);
    f.SetReach({"11.22.33.9"}, "");
    EXPECT_EQ(f.OwnIPAddress(), "10.0.0.5");

    // The forwarding failed: the public address goes, the notice shows.
    f.Pnl_IPaddress->setCurrentIndex(0);
    f.SetReach({}, QStringLiteral("外からは入室できません。"));
    ASSERT_EQ(f.Pnl_IPaddress->count(), 2);
    EXPECT_EQ(f.OwnIPAddress(), "192.168.50.10");
    EXPECT_FALSE(f.LblReach->isHidden());
    EXPECT_EQ(f.LblReach->text(), QStringLiteral("外からは入室できません。"));
    f.SetReach({}, "");
    EXPECT_TRUE(f.LblReach->isHidden());
}

TEST_F(OptionsDialog, HostNameFailureIsShownOnceAndLeavesTheListEmpty) {
    TOptfm f(nullptr, []() -> std::vector<AnsiString> {
        throw platform::Exception("gethostname Error =22");
    });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "gethostname Error =22");
    EXPECT_EQ(Boxes[0].Caption, "Parlora");
    EXPECT_EQ(f.Pnl_IPaddress->count(), 0);
    EXPECT_EQ(f.OwnIPAddress(), "");
}

TEST_F(OptionsDialog, BrowseButtonsReplaceThePathOrLeaveIt) {
    testsupport::TempDir files;
    std::ofstream(files / "start.html") << "<html></html>";
    TOptfm f(nullptr, Addresses({}));
    f.cbNotify->setChecked(true);
    f.Edconnecting->setText("old");
    auto answer = [&](bool accept) {
        OnNextShow(f.Od, [&f, &files, accept] {
            // Typed into the dialog's own name box, as a user would.
            auto* name = f.Od->findChild<QLineEdit*>("fileNameEdit");
            if (accept && name) {
                name->setText(QString::fromStdString((files / "start.html").string()));
                static_cast<QDialog*>(f.Od)->accept(); // QFileDialog hides it
            } else {
                f.Od->reject();
            }
        });
    };
    answer(false);
    f.Button2->click();
    EXPECT_EQ(f.Edconnecting->text(), "old");
    answer(true);
    f.Button2->click();
    EXPECT_EQ(f.Edconnecting->text(), QString::fromStdString((files / "start.html").string()));
    // The second button opens the same dialog, where the first left off.
    QString seenDir;
    OnNextShow(f.Od, [&] {
        seenDir = f.Od->directory().absolutePath();
        f.Od->reject();
    });
    f.Button3->click();
    EXPECT_EQ(seenDir, QString::fromStdString(files.Path().string()));
    EXPECT_EQ(f.Eddisconnect->text(), "");
}

// Paths are kept as CP932 text: a Japanese folder is fine, a name CP932
// cannot write is refused rather than stored with "?" in it.
TEST_F(OptionsDialog, PickedPathsMustFitTheSettingsText) {
    testsupport::TempDir files;
    const fs::path japanese = files / "ホームページ";
    const fs::path korean = files / "홈페이지";
    for (const fs::path& d : {japanese, korean}) {
        fs::create_directories(d);
        std::ofstream(d / "start.html") << "<html></html>";
    }
    TOptfm f(nullptr, Addresses({}));
    f.cbNotify->setChecked(true);
    f.Edconnecting->setText("old");
    auto pick = [&f](const fs::path& file) {
        OnNextShow(f.Od, [&f, file] {
            auto* name = f.Od->findChild<QLineEdit*>("fileNameEdit");
            if (!name) return f.Od->reject();
            name->setText(QString::fromStdString(file.string()));
            static_cast<QDialog*>(f.Od)->accept();
        });
        f.Button2->click();
    };
    pick(korean / "start.html");
    EXPECT_EQ(f.Edconnecting->text(), "old");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, "Parlora");
    EXPECT_EQ(Boxes[0].Flags & 0xF0, platform::MB_ICONERROR);
    EXPECT_TRUE(Boxes[0].Text.contains(QStringLiteral("保存できない文字")));

    pick(japanese / "start.html");
    EXPECT_EQ(f.Edconnecting->text(), QString::fromStdString((japanese / "start.html").string()));
    EXPECT_EQ(Boxes.size(), 1u);
    f.SaveSettings();
    auto stored = Machine().QueryValue(kNotifyKey, "connecting");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->Data, platform::Utf8ToCp932((japanese / "start.html").string()));
}

TEST_F(OptionsDialog, TabOrderFollowsTheForm) {
    TOptfm f(nullptr, Addresses({"127.0.0.1"}));
    f.cbNotify->setChecked(true);
    std::vector<QString> chain;
    QWidget* w = f.Button1;
    do {
        if (w->focusPolicy() & Qt::TabFocus && !w->objectName().isEmpty() && w->window() == &f)
            chain.push_back(w->objectName());
        w = w->nextInFocusChain();
    } while (w != f.Button1 && chain.size() < 40);
    std::vector<QString> names;
    for (const QString& n : chain)
        if (n != "Od" && !n.startsWith("qt_") && !n.startsWith("Scroll")) names.push_back(n);
    std::vector<QString> expected = {
        "Button1", "PageControl1", "Pnl_IPaddress", "K2",           "K3",
        "K4",      "K5",           "cb_Enter",      "cbNotify",     "Edftpaddress",
        "EdLogin", "Edpwd",        "Edconnecting",  "Eddisconnect", "Edftpdir",
        "Button2", "Button3",      "cbFtpTls",      "cbftpdebug"};
    EXPECT_EQ(names, expected);
}
