#include "AddressNotifier.h"

#include "AddressNotifyPage.h"
#include "TLowFTP.h"
#include "TOptfm.h"
#include "Tftpdebugfm.h"

#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/Exception.h"
#include "platform/FileName.h"
#include "platform/QtText.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <string>

namespace {

AnsiString TextOf(const QLineEdit* box) {
    return platform::FromQString(box->text());
}

// The box holds the path as the settings keep it, CP932 text.
std::filesystem::path PathOf(const QLineEdit* box) {
    return platform::FileSystemPath(TextOf(box));
}

// The error box's text: a session that could not be encrypted as asked
// says why, since nothing in the FTP log is as plain.
const char* FailureText(net::TTlsFailure failure) {
    switch (failure) {
    case net::TTlsFailure::NotOffered:
        return "FTPでエラーが発生しました\nFTPサーバーが暗号化(TLS)に対応していません "
               "設定を確認して下さい";
    case net::TTlsFailure::Certificate:
        return "FTPでエラーが発生しました\nFTPサーバーの証明書を確認できないため送信を中止しました";
    case net::TTlsFailure::HostName:
        return "FTPでエラーが発生しました\nFTPサーバーの証明書が接続先の名前と一致しないため送信を"
               "中止しました";
    case net::TTlsFailure::Handshake:
        return "FTPでエラーが発生しました\nFTPサーバーとの暗号化(TLS)を始められませんでした";
    case net::TTlsFailure::Protection:
        return "FTPでエラーが発生しました\nFTPサーバーがデータの暗号化に対応していません "
               "設定を確認して下さい";
    case net::TTlsFailure::None:
        break;
    }
    return "FTPでエラーが発生しました";
}

[[noreturn]] void Fail(const char* text, int code) {
    throw platform::Exception(text + std::to_string(code));
}

// Holds the one-upload-at-a-time flag for the length of a request.
class TBusy {
  public:
    explicit TBusy(bool& flag) : flag_(flag) { flag_ = true; }
    ~TBusy() { flag_ = false; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

  private:
    bool& flag_;
};

} // namespace

TAddressNotifier::TAddressNotifier(TOptfm& optfm, TLowFTP& ftp, Tftpdebugfm& log)
    : PageFile(settings::PageFilePath()), optfm_(optfm), ftp_(ftp), log_(log) {}

void TAddressNotifier::Box(const char* utf8Text, unsigned flags) {
    // The options dialog is hidden most of the time; the box belongs to
    // whatever window the user is looking at.
    QWidget* owner = QApplication::activeWindow();
    platform::MessageBox(owner ? owner : &optfm_, platform::Utf8ToCp932(utf8Text), "Parlora",
                         flags | platform::MB_OK);
}

void TAddressNotifier::MakePageFile(const std::filesystem::path& templatePath) {
    settings::MakePageFile(templatePath, PageFile, optfm_.OwnIPAddress());
}

void TAddressNotifier::UploadPage(const std::filesystem::path& localFile) {
    if (optfm_.cbftpdebug->isChecked()) log_.show();
    int code = ftp_.Setup(TextOf(optfm_.Edftpaddress), "", 21);
    if (code > 400) Fail("FTP Connect Error ", code);
    ftp_.Client().TlsMode = optfm_.FtpTlsMode();

    // The session ends with this step, however it went.
    struct TCloser {
        TLowFTP& ftp;
        ~TCloser() {
            try {
                ftp.Disconnect();
            } catch (...) {
            }
        }
    } closer{ftp_};

    code = ftp_.Connect(TextOf(optfm_.EdLogin), TextOf(optfm_.Edpwd));
    if (code > 400) Fail("FTP Login Error ", code);
    code = ftp_.ModeChangeToASCII();
    if (code > 400) Fail("FTP Ascii Error ", code);
    const settings::TPagePlace place = settings::SplitFtpDir(TextOf(optfm_.Edftpdir));
    for (const AnsiString& folder : place.Folders) {
        code = ftp_.ChangeDirPath(folder);
        if (code > 400) Fail("FTP Cwd Error ", code);
    }
    // The FTP session names files in the program's text, like everything else.
    AnsiString localName;
    if (!platform::Cp932PathText(localFile, localName))
        throw platform::Exception("Cannot use \"" + localName +
                                  "\": its name holds characters Shift-JIS cannot write");
    code = ftp_.Upload(localName, place.FileName);
    if (code > 400) Fail("FTP Put Error ", code);
}

bool TAddressNotifier::SendPage(const QLineEdit* templateBox, const char* missingText) {
    const std::filesystem::path templatePath = PathOf(templateBox);
    if (!settings::TemplateExists(templatePath)) {
        Box(missingText, platform::MB_ICONERROR);
        return false;
    }
    MakePageFile(templatePath); // its failures reach the caller
    try {
        UploadPage(PageFile);
        return true;
    } catch (const platform::Exception& e) {
        log_.AddLine(e.Message);
        Box(FailureText(ftp_.TlsFailure()), platform::MB_ICONERROR);
        return false;
    }
}

void TAddressNotifier::NotifyStartPage() {
    if (!optfm_.cbNotify->isChecked() || startPageSent_ || uploading_) return;
    TBusy busy(uploading_);
    // Not sent: the next room creation tries again.
    if (!SendPage(optfm_.Edconnecting, "起動中のHTMLファイルが見つかりません 設定を確認して下さい"))
        return;
    if (!optfm_.cbftpdebug->isChecked())
        Box("ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    log_.hide();
    startPageSent_ = true;
}

void TAddressNotifier::NotifyExitPage() {
    if (!optfm_.cbNotify->isChecked() || !startPageSent_ || uploading_) return;
    TBusy busy(uploading_);
    if (!SendPage(optfm_.Eddisconnect, "終了時のHTMLファイルが見つかりません 設定を確認して下さい"))
        return;
    Box("ホームページの更新が完了しました", platform::MB_ICONINFORMATION);
    log_.hide();
}
