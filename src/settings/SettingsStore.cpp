#include "SettingsStore.h"

#include "platform/QtText.h"
#include "platform/TRegistry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

namespace settings {
namespace {

using platform::RegRoot;
using platform::TRegistry;

AnsiString TextOf(const QLineEdit* edit) {
    return platform::FromQString(edit->text());
}

void SetText(QLineEdit* edit, const AnsiString& text) {
    edit->setText(platform::ToQString(text));
}

} // namespace

void SetRadioChecked(QRadioButton* button, bool checked) {
    if (checked || !button->isChecked()) {
        button->setChecked(checked);
        return;
    }
    // An exclusive group refuses to clear its chosen button; step outside it.
    bool exclusive = button->autoExclusive();
    button->setAutoExclusive(false);
    button->setChecked(false);
    button->setAutoExclusive(exclusive);
}

void SetComboMode(QComboBox* box, int mode) {
    const int index = box->findData(mode);
    if (index >= 0) box->setCurrentIndex(index);
}

void SaveSettings(const TOptionControls& c) {
    // Opening is not checked: a key that cannot be opened fails the next write.
    TRegistry reg(RegRoot::LocalMachine);
    reg.OpenKey(kMainKey, true);
    reg.WriteBool("main_K2", c.K2->isChecked());
    reg.WriteBool("main_K3", c.K3->isChecked());
    reg.WriteBool("main_K4", c.K4->isChecked());
    reg.WriteBool("main_K5", c.K5->isChecked());
    reg.WriteBool("chatenter", c.cb_Enter->isChecked());
    reg.CloseKey();

    reg.OpenKey(kNotifyKey, true);
    reg.WriteBool("Notify", c.cbNotify->isChecked());
    reg.WriteString("ftpaddress", TextOf(c.Edftpaddress));
    reg.WriteString("Login", TextOf(c.EdLogin));
    reg.WriteString("pwd", TextOf(c.Edpwd));
    reg.WriteString("connecting", TextOf(c.Edconnecting));
    reg.WriteString("disconnect", TextOf(c.Eddisconnect));
    reg.WriteString("ftpdir", TextOf(c.Edftpdir));
    reg.WriteBool("ftpdebug", c.cbftpdebug->isChecked());
    reg.WriteInteger("ftptls", c.cbFtpTls->currentData().toInt());
    reg.CloseKey();
}

void LoadSettings(const TOptionControls& c) {
    try {
        TRegistry reg(RegRoot::LocalMachine);
        if (!reg.OpenKey(kMainKey, false)) return;
        // Each state is applied as read, so of several stored trues the last wins.
        SetRadioChecked(c.K2, reg.ReadBool("main_K2"));
        SetRadioChecked(c.K3, reg.ReadBool("main_K3"));
        SetRadioChecked(c.K4, reg.ReadBool("main_K4"));
        SetRadioChecked(c.K5, reg.ReadBool("main_K5"));
        c.cb_Enter->setChecked(reg.ReadBool("chatenter"));
        reg.CloseKey();

        reg.OpenKey(kNotifyKey, true);
        c.cbNotify->setChecked(reg.ReadBool("Notify"));
        SetText(c.Edftpaddress, reg.ReadString("ftpaddress"));
        SetText(c.EdLogin, reg.ReadString("Login"));
        SetText(c.Edpwd, reg.ReadString("pwd"));
        SetText(c.Edconnecting, reg.ReadString("connecting"));
        SetText(c.Eddisconnect, reg.ReadString("disconnect"));
        SetText(c.Edftpdir, reg.ReadString("ftpdir"));
        c.cbftpdebug->setChecked(reg.ReadBool("ftpdebug"));
        // Settings from before it was stored keep the dialog's default.
        if (reg.ValueExists("ftptls")) SetComboMode(c.cbFtpTls, reg.ReadInteger("ftptls"));
        reg.CloseKey();
    } catch (...) {
        // A load never reports: whatever was read stays, the rest keeps its state.
    }
}

} // namespace settings
