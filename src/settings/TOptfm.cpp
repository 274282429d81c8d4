#include "TOptfm.h"

#include "AddressNotifier.h"
#include "Tftpdebugfm.h"

#include "platform/ButtonKeys.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/Exception.h"
#include "platform/FileName.h"
#include "platform/OwnAddresses.h"
#include "platform/QtText.h"
#include "platform/WindowPlace.h"
#include "portmap/OwnIPv6.h"
#include "portmap/PortMapRules.h"
#include "text/SjisText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

template <class W> W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLineEdit* NewEdit(QWidget* parent, const char* name) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(INT_MAX); // paths and names are never cut short
    return edit;
}

// Without an IPv4 socket nothing that follows (the address list, uploads)
// can work: the FTP client and the address list need it.
void StartSocketLayer() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw platform::Exception("WSAStartup Error =" + std::to_string(errno));
    ::close(fd);
}

// The machine's IPv4 addresses, then its stable global IPv6 ones (never a
// temporary privacy address, which changes under a running room).
// $PARLORA_OWN_IP (tests) stands for the whole list.
std::vector<AnsiString> OwnAddresses() {
    std::vector<AnsiString> all = platform::OwnIPv4Addresses();
    const char* given = std::getenv("PARLORA_OWN_IP");
    if (!given || !*given)
        for (const std::string& v6 : portmap::OwnStableGlobalIPv6())
            all.push_back(v6);
    return all;
}

} // namespace

TOptfm::TOptfm(QWidget* parent, TAddressLister listAddresses) : QDialog(parent) {
    FTP.debugmode = false;
    FTP.WaitTimeout = 10000;
    // The control port is the FTP client's own (21); a test's server or a
    // server on another port is named by the environment.
    if (const char* port = std::getenv("PARLORA_FTP_PORT"); port && net::IsIntegerText(port)) {
        long value = std::strtol(port, nullptr, 10);
        if (value > 0 && value <= 65535) FTP.Client().Port = static_cast<int>(value);
    }
    FTP.OnLogging = [this](TLowFTP* sender, const AnsiString& line) { FTPLogging(sender, line); };
    ftpdebugfm_ = std::make_unique<Tftpdebugfm>();
    notifier_ = std::make_unique<TAddressNotifier>(*this, FTP, *ftpdebugfm_);
    BuildControls();
    // OK is no default button: Return in an edit box must not close the
    // dialog; Return on a focused button presses that button.
    platform::PressFocusedButtonOnEnter(this);
    FormCreate(listAddresses ? listAddresses : TAddressLister(OwnAddresses));
}

TOptfm::~TOptfm() {
    // The log window goes before the FTP session, which may still report.
    FTP.OnLogging = nullptr;
}

void TOptfm::BuildControls() {
    setObjectName("Optfm");
    setWindowTitle(QStringLiteral("設定"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint);
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(314, 392);

    Label7 = Named(new QLabel(QStringLiteral("自分のＩＰアドレス"), this), "Label7");
    Pnl_IPaddress = Named(new QComboBox(this), "Pnl_IPaddress");
    Pnl_IPaddress->setEditable(false);
    Pnl_IPaddress->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    Pnl_IPaddress->setMinimumContentsLength(15);
    LblReach = Named(new QLabel(this), "LblReach");
    LblReach->setWordWrap(true);
    LblReach->hide();

    PageControl1 = Named(new QTabWidget(this), "PageControl1");
    TabSheet1 = Named(new QWidget, "TabSheet1");
    TabSheet2 = Named(new QWidget, "TabSheet2");
    PageControl1->addTab(TabSheet1, QStringLiteral("メッセージ受信時の動作"));
    PageControl1->addTab(TabSheet2, QStringLiteral("ＩＰアドレス通知"));

    // First tab: the receipt notification group and the Enter option.
    GroupBox1 = Named(new QGroupBox(TabSheet1), "GroupBox1");
    K2 = Named(new QRadioButton(QStringLiteral("音で知らせる"), GroupBox1), "K2");
    K3 = Named(new QRadioButton(QStringLiteral("ポップアップする"), GroupBox1), "K3");
    K4 = Named(new QRadioButton(QStringLiteral("音で知らせる ＆ ポップアップ"), GroupBox1), "K4");
    K5 = Named(new QRadioButton(QStringLiteral("なにもしない"), GroupBox1), "K5");
    K5->setChecked(true);
    auto* group = new QVBoxLayout(GroupBox1);
    for (QRadioButton* k : {K2, K3, K4, K5})
        group->addWidget(k);
    cb_Enter =
        Named(new QCheckBox(QStringLiteral("Ｅｎｔｅｒでメッセージを送信"), TabSheet1), "cb_Enter");
    auto* page1 = new QVBoxLayout(TabSheet1);
    page1->addWidget(GroupBox1);
    page1->addWidget(cb_Enter);
    page1->addStretch();

    // Second tab: address notification.
    cbNotify =
        Named(new QCheckBox(QStringLiteral("ＩＰアドレスの通知を行う"), TabSheet2), "cbNotify");
    QFont bold = cbNotify->font();
    bold.setBold(true);
    cbNotify->setFont(bold);
    QPalette navy = cbNotify->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    navy.setColor(QPalette::ButtonText, QColor(0, 0, 128));
    cbNotify->setPalette(navy);

    Label1 = Named(new QLabel(QStringLiteral("ホームページＦＴＰアドレス"), TabSheet2), "Label1");
    Edftpaddress = NewEdit(TabSheet2, "Edftpaddress");
    Label2 = Named(new QLabel(QStringLiteral("FTPﾛｸﾞｲﾝID"), TabSheet2), "Label2");
    EdLogin = NewEdit(TabSheet2, "EdLogin");
    Label3 = Named(new QLabel(QStringLiteral("FTPﾊﾟｽﾜｰﾄﾞ"), TabSheet2), "Label3");
    Edpwd = NewEdit(TabSheet2, "Edpwd"); // shown in clear on purpose
    Label4 = Named(new QLabel(QStringLiteral("起動中のHTML"), TabSheet2), "Label4");
    Edconnecting = NewEdit(TabSheet2, "Edconnecting");
    Button2 = Named(new QPushButton(QStringLiteral("参照"), TabSheet2), "Button2");
    Label5 = Named(new QLabel(QStringLiteral("終了時のＨＴＭＬ"), TabSheet2), "Label5");
    Eddisconnect = NewEdit(TabSheet2, "Eddisconnect");
    Button3 = Named(new QPushButton(QStringLiteral("参照"), TabSheet2), "Button3");
    Label6 = Named(new QLabel(QStringLiteral("アップロード場所"), TabSheet2), "Label6");
    Edftpdir = NewEdit(TabSheet2, "Edftpdir");
    cbftpdebug =
        Named(new QCheckBox(QStringLiteral("FTP Debug Windowを表示する"), TabSheet2), "cbftpdebug");
    Label8 = Named(new QLabel(QStringLiteral("FTPの暗号化(TLS)"), TabSheet2), "Label8");
    cbFtpTls = Named(new QComboBox(TabSheet2), "cbFtpTls");
    cbFtpTls->addItem(QStringLiteral("必須"), static_cast<int>(net::TTlsMode::Required));
    cbFtpTls->addItem(QStringLiteral("使えれば使う"), static_cast<int>(net::TTlsMode::WhenOffered));
    cbFtpTls->addItem(QStringLiteral("使わない"), static_cast<int>(net::TTlsMode::Never));
    settings::SetComboMode(cbFtpTls, static_cast<int>(net::TTlsMode::WhenOffered));
    Label8->setBuddy(cbFtpTls);

    auto* page2 = new QGridLayout(TabSheet2);
    page2->setVerticalSpacing(2);
    page2->addWidget(cbNotify, 0, 0, 1, 2);
    int row = 1;
    auto addField = [&](QLabel* label, QLineEdit* edit, QPushButton* browse) {
        page2->addWidget(label, row++, 0, 1, 2);
        page2->addWidget(edit, row, 0, 1, browse ? 1 : 2);
        if (browse) page2->addWidget(browse, row, 1);
        ++row;
    };
    addField(Label1, Edftpaddress, nullptr);
    addField(Label2, EdLogin, nullptr);
    addField(Label3, Edpwd, nullptr);
    addField(Label4, Edconnecting, Button2);
    addField(Label5, Eddisconnect, Button3);
    addField(Label6, Edftpdir, nullptr);
    auto* tls = new QHBoxLayout;
    tls->addWidget(Label8);
    tls->addWidget(cbFtpTls, 1);
    page2->addLayout(tls, row++, 0, 1, 2);
    page2->addWidget(cbftpdebug, row++, 0, 1, 2);
    page2->setRowStretch(row, 1);
    page2->setColumnStretch(0, 1);

    Button1 = Named(new QPushButton(QStringLiteral("OK"), this), "Button1");

    auto* top = new QHBoxLayout;
    top->addWidget(Label7);
    top->addWidget(Pnl_IPaddress, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(Button1);
    bottom->addStretch();
    auto* form = new QVBoxLayout(this);
    form->addLayout(top);
    form->addWidget(LblReach);
    form->addWidget(PageControl1, 1);
    form->addLayout(bottom);

    // One dialog for both template choices, so the second opens where the first left off.
    Od = Named(new QFileDialog(this), "Od");
    Od->setOption(QFileDialog::DontUseNativeDialog);
    Od->setFileMode(QFileDialog::ExistingFile);
    Od->setNameFilter(QStringLiteral("html (*.htm *.html)"));

    QWidget* order[] = {Button1, PageControl1, Pnl_IPaddress, K2,           K3,
                        K4,      K5,           cb_Enter,      cbNotify,     Edftpaddress,
                        EdLogin, Edpwd,        Edconnecting,  Eddisconnect, Edftpdir,
                        Button2, Button3,      cbFtpTls,      cbftpdebug};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    PageControl1->setCurrentIndex(0);

    connect(cbNotify, &QCheckBox::toggled, this, [this] { cbNotifyClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { platform::Guarded([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this,
            [this] { platform::Guarded([this] { Button3Click(); }); });
    cbNotifyClick();
}

void TOptfm::FormCreate(const TAddressLister& listAddresses) {
    // A failure is shown once and leaves the list empty; the program runs on.
    platform::Guarded([&] {
        StartSocketLayer();
        for (const AnsiString& address : listAddresses())
            if (!address.empty()) ownAddresses_.push_back(address);
    });
    // What an outsider can enter at goes first (entry 0 becomes the player
    // name and the published address): a public IPv4 address, then a global
    // IPv6 one; addresses only the LAN reaches follow, each in its order.
    std::stable_partition(ownAddresses_.begin(), ownAddresses_.end(), [](const AnsiString& a) {
        if (a.find(':') != AnsiString::npos) return true; // listed only when global
        const auto v4 = portmap::ParseIPv4(a);
        return v4 && portmap::ClassifyIPv4(*v4) == portmap::TAddressKind::Public;
    });
    for (const AnsiString& address : ownAddresses_)
        Pnl_IPaddress->addItem(platform::ToQString(address));
    if (Pnl_IPaddress->count() > 0) Pnl_IPaddress->setCurrentIndex(0);
}

void TOptfm::SetReach(const std::vector<AnsiString>& outside, const QString& notice) {
    LblReach->setText(notice);
    LblReach->setVisible(!notice.isEmpty());
    if (outside == outside_) return;
    const bool firstChosen = Pnl_IPaddress->currentIndex() <= 0;
    const QString chosen = Pnl_IPaddress->currentText();
    outside_ = outside;
    Pnl_IPaddress->clear();
    std::vector<AnsiString> all = outside_;
    for (const AnsiString& address : ownAddresses_)
        if (std::find(all.begin(), all.end(), address) == all.end()) all.push_back(address);
    for (const AnsiString& address : all)
        if (!address.empty()) Pnl_IPaddress->addItem(platform::ToQString(address));
    int index = firstChosen ? 0 : Pnl_IPaddress->findText(chosen);
    if (Pnl_IPaddress->count() > 0) Pnl_IPaddress->setCurrentIndex(index < 0 ? 0 : index);
}

settings::TOptionControls TOptfm::Controls() const {
    return {K2,      K3,    K4,           K5,           cb_Enter, cbNotify,   Edftpaddress,
            EdLogin, Edpwd, Edconnecting, Eddisconnect, Edftpdir, cbftpdebug, cbFtpTls};
}

void TOptfm::SaveSettings() {
    settings::SaveSettings(Controls());
}

void TOptfm::LoadSettings() {
    settings::LoadSettings(Controls());
}

AnsiString TOptfm::OwnIPAddress() const {
    return platform::FromQString(Pnl_IPaddress->currentText());
}

net::TTlsMode TOptfm::FtpTlsMode() const {
    return static_cast<net::TTlsMode>(cbFtpTls->currentData().toInt());
}

void TOptfm::cbNotifyClick() {
    bool on = cbNotify->isChecked();
    for (QWidget* w :
         std::initializer_list<QWidget*>{Edftpaddress, EdLogin, Edpwd, Edconnecting, Eddisconnect,
                                         Edftpdir, cbftpdebug, Button2, Button3, Label8, cbFtpTls})
        w->setEnabled(on);
}

void TOptfm::Button1Click() {
    // The dialog closes with OK even when the save fails; the error is shown first.
    platform::Guarded([this] { SaveSettings(); });
    done(QDialog::Accepted);
}

void TOptfm::Button2Click() {
    ChooseTemplate(Edconnecting);
}

void TOptfm::Button3Click() {
    ChooseTemplate(Eddisconnect);
}

void TOptfm::ChooseTemplate(QLineEdit* target) {
    if (Od->exec() != QDialog::Accepted) return;
    QStringList files = Od->selectedFiles();
    if (files.isEmpty()) return;
    // The path is kept as CP932 text; one that text cannot hold would name
    // another file once saved, so it is not taken.
    AnsiString text;
    if (!platform::Cp932PathText(std::filesystem::path(files.first().toStdString()), text)) {
        platform::MessageBox(
            this,
            platform::Utf8ToCp932("このファイルの名前には設定に保存できない文字が"
                                  "含まれています 別の名前のファイルを選んで下さい"),
            "Parlora", platform::MB_ICONERROR | platform::MB_OK);
        return;
    }
    target->setText(QDir::toNativeSeparators(platform::ToQString(text)));
    // The next choice starts where this one was made.
    Od->setDirectory(QFileInfo(files.first()).absolutePath());
}

void TOptfm::FTPLogging(TLowFTP*, const AnsiString& logstr) {
    ftpdebugfm_->AddLine(logstr);
}

void TOptfm::NotifyStartPage() {
    notifier_->NotifyStartPage();
}

void TOptfm::NotifyExitPage() {
    notifier_->NotifyExitPage();
}

bool TOptfm::StartPageSent() const {
    return notifier_->StartPageSent();
}

void TOptfm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    platform::CentreOnScreen(this);
}
