#pragma once
// The options dialog "設定": what a minimised chat window does when a message
// arrives, the address-notification settings and the choice of the own IP
// address. Created once at start-up and hidden between uses; its controls
// are the live copy of its settings, read directly by other windows.
#include "SettingsStore.h"
#include "TLowFTP.h"

#include "platform/AnsiString.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;
class TAddressNotifier;
class Tftpdebugfm;

class TOptfm : public QDialog {
  public:
    // Lists the machine's own IPv4 addresses; may throw platform::Exception
    // with the text to show. Tests pass their own.
    using TAddressLister = std::function<std::vector<AnsiString>()>;

    explicit TOptfm(QWidget* parent = nullptr, TAddressLister listAddresses = {});
    ~TOptfm() override;

    // Controls to registry; raises platform::ERegistryException on failure.
    void SaveSettings();
    // Registry to controls; never raises.
    void LoadSettings();
    // The chosen own address, or empty when the list is empty.
    AnsiString OwnIPAddress() const;
    // What outsiders can enter at goes first in the own-address list (the
    // router's public address with a working forwarding); notice, when not
    // empty, says under the list why outsiders cannot enter. Entry 0 stays
    // chosen unless the user chose another.
    void SetReach(const std::vector<AnsiString>& outside, const QString& notice);
    // The chosen encryption of the upload.
    net::TTlsMode FtpTlsMode() const;

    // Handlers.
    void cbNotifyClick();
    void Button1Click();
    void Button2Click();
    void Button3Click();

    // Controls, by the names the other windows use.
    QLabel* Label7;
    QComboBox* Pnl_IPaddress;
    QLabel* LblReach;
    QPushButton* Button1;
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QGroupBox* GroupBox1;
    QRadioButton* K2;
    QRadioButton* K3;
    QRadioButton* K4;
    QRadioButton* K5;
    QCheckBox* cb_Enter;
    QWidget* TabSheet2;
    QCheckBox* cbNotify;
    QLabel* Label1;
    QLineEdit* Edftpaddress;
    QLabel* Label2;
    QLineEdit* EdLogin;
    QLabel* Label3;
    QLineEdit* Edpwd;
    QLabel* Label4;
    QLineEdit* Edconnecting;
    QPushButton* Button2;
    QLabel* Label5;
    QLineEdit* Eddisconnect;
    QPushButton* Button3;
    QLabel* Label6;
    QLineEdit* Edftpdir;
    QCheckBox* cbftpdebug;
    QLabel* Label8;
    QComboBox* cbFtpTls;
    QFileDialog* Od;

    // The synchronous FTP session of the address notification: debugmode
    // false, WaitTimeout 10000, OnLogging = FTPLogging.
    TLowFTP FTP;
    // Appends a line of the FTP session to the FTP log window.
    void FTPLogging(TLowFTP* Sender, const AnsiString& logstr);
    // The start page, after a room was created; the exit page, at the
    // program's end. Both check cbNotify themselves and report their own
    // upload failures; a request while an upload runs is dropped. Errors in
    // reading the template or writing the page file raise platform::Exception.
    void NotifyStartPage();
    void NotifyExitPage();
    bool StartPageSent() const;
    // The FTP log window "ホームページ更新ＬＯＧ", one for the run.
    Tftpdebugfm* Ftpdebugfm() const { return ftpdebugfm_.get(); }
    TAddressNotifier& Notifier() { return *notifier_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void BuildControls();
    void FormCreate(const TAddressLister& listAddresses);
    void ChooseTemplate(QLineEdit* target);
    settings::TOptionControls Controls() const;

    std::unique_ptr<Tftpdebugfm> ftpdebugfm_;
    std::unique_ptr<TAddressNotifier> notifier_;
    std::vector<AnsiString> ownAddresses_; // the machine's, as listed at start-up
    std::vector<AnsiString> outside_;
};
