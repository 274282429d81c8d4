#pragma once
// FTP client (RFC 959): logs in directly or through a proxy/firewall, sends
// single commands and classifies their replies, sets the transfer type and
// stores or appends local files over an active (PORT) or passive (PASV) data
// connection opened per transfer. The inherited socket is the control
// connection; like its base, every operation blocks its caller while the
// event loop keeps running.
//
// Explicit TLS (AUTH TLS, PBSZ 0, PROT P): the control connection is
// encrypted before anything of the login goes out, and every data
// connection is encrypted too, resuming the control connection's session
// (servers refuse data connections that come with a session of their own).
#include "FTPException.h"
#include "TPumpSocket.h"
#include "TlsLink.h"

#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace net {

enum TCmdType {
    ctChangeDir = 0,
    ctMakeDir = 1,
    ctDelete = 2,
    ctRemoveDir = 3,
    ctList = 4,
    ctRename = 5,
    ctUploadRestore = 6,
    ctDownloadRestore = 7,
    ctDownload = 8,
    ctUpload = 9,
    ctUploadAppend = 10,
    ctReInit = 11,
    ctAllocate = 12,
    ctNList = 13,
    ctDoCommand = 14,
    ctPrintDir = 15,
};

enum TFirewallType { FTUser = 0, FtOpen = 1, FtSite = 2 };

// Whether the session is encrypted. WhenOffered goes on in the clear only
// when the server refuses AUTH TLS, never after a failed handshake.
enum class TTlsMode { WhenOffered = 0, Required = 1, Never = 2 };

using TSuccessEvent = std::function<void(TPumpSocket* Sender, TCmdType Trans_Type)>;
using TFailureEvent = std::function<void(TPumpSocket* Sender, bool& Handled, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TPumpSocket* Sender, TCmdType Trans_Type)>;
using TFTPListItem = std::function<void(TPumpSocket* Sender, const AnsiString& Listing)>;

class TFTPClient : public TPumpSocket {
  public:
    TFTPClient();
    ~TFTPClient() override;

    AnsiString UserID;
    AnsiString Password;
    bool Passive = false;
    TFirewallType FirewallType = FTUser;
    bool FWAuthenticate = false;
    AnsiString FWUserID;
    AnsiString FWPassword;
    int Vendor = 2411;
    bool ParseList = false;
    TTlsMode TlsMode = TTlsMode::WhenOffered;

    // Raised after a successful login (the socket-level connect event of
    // the base stays unassigned).
    TNotifyEvent OnConnect;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    TUnsupportedEvent OnUnSupportedFunction;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TFTPListItem OnListItem;

    void Connect() override;
    void Disconnect() override;
    void DoCommand(const AnsiString& command);
    void ChangeDir(const AnsiString& directory);
    void Mode(int mode);
    void Upload(const AnsiString& localName, const AnsiString& remoteName);
    void UploadAppend(const AnsiString& localName, const AnsiString& remoteName);
    void Transaction(const AnsiString& command, AnsiString& reply) override;
    void Abort() override;
    // The counters of the data connection of the running upload; 0 without one.
    uint32_t BytesSent() const override;
    uint32_t BytesRecvd() const override;

    // Reads the rest of a multi-line reply whose latest line is `line`.
    void GetMultiLine(AnsiString line);

    // The data connections of this session are encrypted (PROT P taken).
    bool DataProtected() const { return dataProtected_; }

    // Held by Upload while it runs.
    std::recursive_mutex TransferLock;
    // The data connection of the running upload, else nullptr.
    TPumpSocket* DataSocket() const { return dataSocket_.get(); }

    // Field n (from 1) of `text` split at `delimiter`, byte by byte.
    static AnsiString ExtractField(const AnsiString& text, char delimiter, int n);
    // The data port of a PASV reply: fields 5 and 6 of the comma list.
    static int PasvPort(const AnsiString& reply);
    // The command type DoCommand reports for a command.
    static TCmdType Classify(const AnsiString& command);

  protected:
    void SocketClosed() override;

  private:
    // The failure of the last reply: its lines as received, except that
    // each is led by the code and a blank ("530-" becomes "530 ").
    FTPException ReplyError() const;
    void LoginFailedWhen(int low, int high);
    // OnFailure or FTPException; true when OnFailure handled it.
    bool Fail(TCmdType type);
    void Store(const AnsiString& localName, const AnsiString& remoteName, bool append);
    // Sends the file over the open data connection and ends it. Whatever
    // went wrong on the data connection is left in `dataError`.
    void SendData(const AnsiString& localName, std::exception_ptr& dataError);
    // Reads the reply that ends a store, passing over preliminary ones, and
    // raises unless it is a positive completion of data that all arrived.
    void Complete(TCmdType type, std::exception_ptr dataError, bool& quiet);
    // The control connection has something to say while data moves.
    void ControlReadable();
    void DiscardPendingInput();
    [[noreturn]] void ConnectionGone();
    // AUTH TLS and the handshake, right after the greeting.
    void SecureControl();
    // PBSZ 0 and PROT P, after the login.
    void ProtectData();

    std::unique_ptr<TPumpSocket> dataSocket_;
    std::unique_ptr<TTlsContext> tlsContext_;
    AnsiString tlsHost_; // what the certificates have to name
    bool dataProtected_ = false;
    // The control connection is neither clear nor encrypted any more (a
    // handshake failed): nothing can be said on it.
    bool tlsBroken_ = false;
    // While data moves: a refusal on the control connection ends the data
    // connection's waits; once the data is out, any reply does.
    enum class TDataPhase { None, Moving, Ending } dataPhase_ = TDataPhase::None;
    bool controlSpoke_ = false;
    bool aborted_ = false; // Abort was called during this store
    // The lines of the last reply read with GetMultiLine, the first of them
    // ReplyString; kept up to a bound.
    static constexpr size_t MaxReplyLines = 32;
    std::vector<AnsiString> replyLines_;
};

} // namespace net
