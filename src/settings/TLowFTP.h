#pragma once
// A synchronous FTP session on top of TFTPClient: a handful of blocking
// operations that never raise for the client's errors but return a result
// code (the server's reply number, 100 from Setup, 999 for a failure that
// carries no reply), keep the lines of the session and hand every line to
// OnLogging. Codes above 400 are failures. Upload progress arrives as
// events with byte counts and elapsed milliseconds.
//
// Runs on the GUI thread; the client's events arrive nested inside the
// blocking operations, which keep the event loop running while they wait.
#include "net/TFTPClient.h"
#include "platform/AnsiString.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TLowFTP {
  public:
    using TNotifyEvent = std::function<void(TLowFTP* Sender)>;
    using TProgressEvent =
        std::function<void(TLowFTP* Sender, int32_t totalbytes, int32_t mmseconds)>;
    using TLoggingEvent = std::function<void(TLowFTP* Sender, const AnsiString& logstr)>;

    TLowFTP();
    virtual ~TLowFTP();
    TLowFTP(const TLowFTP&) = delete;
    TLowFTP& operator=(const TLowFTP&) = delete;

    // Published properties.
    bool debugmode = false;
    uint32_t WaitTimeout = 30000; // handed to the client as its time-out
    TNotifyEvent OnCtlsockClose;
    TNotifyEvent Onctlsockconnect;
    TProgressEvent Onretrieveing;
    TProgressEvent Onretrievefinished;
    TProgressEvent Ontransfer;
    TProgressEvent Ontransferfinished;
    TLoggingEvent OnLogging;

    // Stores (instead of appending) unless set.
    bool AppendMode = false;

    // Stores the server and attaches the reactions to the client's events;
    // must come before Connect. Always 100.
    int Setup(const AnsiString& host, const AnsiString& proxy, int32_t port);
    int Connect(const AnsiString& user, const AnsiString& password);
    // The client's last reply number, also when the disconnect failed.
    int Disconnect();
    // One change of directory per backslash-separated piece; a failing piece
    // does not stop the rest. The code of the last piece, 0 without pieces.
    int ChangeDirPath(const AnsiString& path);
    int ModeChangeToASCII();
    int Upload(const AnsiString& localFile, const AnsiString& remoteName);

    // Delivers and keeps one line; returns the code the line carries.
    int AddLog(const AnsiString& line);
    // A time-stamped line, only in debug mode.
    void DebugLog(const AnsiString& text);

    // The code a log or error line carries: its first three characters when
    // they form a whole number and the fourth is a blank, else 999.
    static int CodeOf(const AnsiString& line);
    // "D*" + the clock (at least five digits) + ":" + text.
    static AnsiString FormatDebugLine(uint32_t clock, const AnsiString& text);
    // The summary line after a transfer ("Transfer" or "Retrived").
    static AnsiString TransferSummary(const char* what, int32_t bytes, int32_t ms);
    // The pieces of a backslash-separated path, empty ones skipped; a
    // backslash inside a double-byte character does not cut.
    static std::vector<AnsiString> SplitPath(const AnsiString& path);

    // Why the last session could not be encrypted as asked; None after a
    // Connect that met no TLS failure.
    net::TTlsFailure TlsFailure() const { return TlsFailure_; }
    // Every line that passed through AddLog since the last Connect.
    const std::vector<AnsiString>& LogLines() const { return LogLines_; }
    // The client, for the settings this component leaves alone (its port).
    net::TFTPClient& Client() { return *client_; }

  protected:
    virtual void NotifyTransfer(int32_t totalbytes, int32_t mmseconds);
    virtual void NotifyTransferFinished(int32_t totalbytes, int32_t mmseconds);
    virtual void NotifyRetrieve(int32_t totalbytes, int32_t mmseconds);
    virtual void NotifyRetrieveFinished(int32_t totalbytes, int32_t mmseconds);

  private:
    // Runs one client call; an error of the program's own kinds becomes a
    // log line and its code.
    template <class F> int Guarded(F&& call);
    void AttachReactions();
    int Reply() const { return client_->ReplyNumber(); }

    std::unique_ptr<net::TFTPClient> client_;
    AnsiString SetupHost;
    AnsiString SetupProxy;
    int32_t SetupPort = 0;
    int32_t TransferredBytes = 0;
    int32_t RetrievedBytes = 0;
    uint32_t TransferStart = 0;
    uint32_t TransferEnd = 0;
    std::vector<AnsiString> LogLines_;
    net::TTlsFailure TlsFailure_ = net::TTlsFailure::None;
};
