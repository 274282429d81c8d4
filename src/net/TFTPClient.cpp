#include "TFTPClient.h"

#include "EConvertError.h"
#include "ERangeError.h"
#include "platform/FileName.h"
#include "text/SjisText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace net {
namespace {

bool InRange(int value, int low, int high) {
    return value >= low && value <= high;
}

// Decimal integer text, leading blanks and a sign allowed, nothing after.
int StrToInt(const AnsiString& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) throw EConvertError(text);
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') throw EConvertError(text);
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) throw EConvertError(text);
    }
    if (negative) value = -value;
    if (value > 2147483647LL) throw EConvertError(text);
    return static_cast<int>(value);
}

// The name part of a local file name: after the last "/", "\" or ":" that
// is a character of its own (a Japanese character may end in 0x5C).
AnsiString FileNamePart(const AnsiString& path) {
    for (size_t i = path.size(); i > 0; --i) {
        char c = path[i - 1];
        if ((c == '/' || c == '\\' || c == ':') && !IsTrailByte(path, static_cast<int>(i)))
            return path.substr(i);
    }
    return path;
}

} // namespace

TFTPClient::TFTPClient() {
    Port = 21;
    Vendor = 2411;
    // Control data is read only by the operations themselves; while data
    // moves, its arrival can end the data connection's waits.
    TPumpSocket::OnDataAvailable = [this](TPumpSocket*) { ControlReadable(); };
}

TFTPClient::~TFTPClient() {
    destroying_ = true; // no more events from here on
    try {
        Cancel();
    } catch (...) {
    }
    dataSocket_.reset();
}

AnsiString TFTPClient::ExtractField(const AnsiString& text, char delimiter, int n) {
    AnsiString field;
    int seen = 0;
    for (char c : text) {
        if (c == delimiter) {
            if (++seen == n) break;
            continue;
        }
        if (seen == n - 1) field += c;
    }
    return field;
}

int TFTPClient::PasvPort(const AnsiString& reply) {
    AnsiString low = ExtractField(reply, ',', 6);
    size_t paren = low.find(')');
    if (paren != AnsiString::npos) low.erase(paren);
    int p2 = StrToInt(low);
    int p1 = StrToInt(ExtractField(reply, ',', 5));
    int64_t port = static_cast<int64_t>(p1) * 256 + p2;
    if (port < 0 || port > 65535) throw ERangeError();
    return static_cast<int>(port);
}

TCmdType TFTPClient::Classify(const AnsiString& command) {
    AnsiString word = ExtractField(command, ' ', 1) + " ";
    if (word == "CWD ") return ctChangeDir;
    if (word == "DELE ") return ctDelete;
    if (word == "MKD ") return ctMakeDir;
    if (word == "RMD ") return ctRemoveDir;
    if (command == "PWD") return ctPrintDir;
    return ctDoCommand;
}

void TFTPClient::GetMultiLine(AnsiString line) {
    // A line "ddd-" opens a block that only "ddd" followed by anything but
    // "-" closes; lines in between may look like anything. Outside a block
    // a line that starts with a blank or has "-" fourth also continues.
    AnsiString open;
    replyLines_.assign(1, line);
    for (;;) {
        if (line.empty()) return; // closed in the middle of the reply
        bool more;
        if (!open.empty()) {
            bool closes = line.compare(0, 3, open) == 0 && (line.size() == 3 || line[3] != '-');
            more = !closes;
        } else if (line.size() >= 4 && line[3] == '-') {
            bool digits = true;
            for (int i = 0; i < 3; ++i)
                digits = digits && line[i] >= '0' && line[i] <= '9';
            if (digits) open = line.substr(0, 3);
            more = true;
        } else {
            more = line[0] == ' ';
        }
        if (!more) return;
        ReadLn(line);
        if (!line.empty()) ReportStatus(1, line);
        if (!line.empty() && replyLines_.size() < MaxReplyLines) replyLines_.push_back(line);
    }
}

void TFTPClient::Transaction(const AnsiString& command, AnsiString& reply) {
    TPumpSocket::Transaction(command, reply);
    if (reply.empty()) ConnectionGone();
    GetMultiLine(reply);
}

void TFTPClient::ConnectionGone() {
    // No reply at all: the server closed. Taken for success, the next
    // command would wait on a dead connection.
    if (connected_) RequestCloseSocket();
    throw ESockError("Connection closed by server");
}

void TFTPClient::Abort() {
    if (!dataSocket_) return;
    aborted_ = true;
    dataSocket_->Cancel();
}

void TFTPClient::ControlReadable() {
    if (dataPhase_ == TDataPhase::None || !dataSocket_ || controlSpoke_) return;
    const int first = PeekByte();
    if (first < 0) return; // a close is handled by the base
    // "226" may come before all data went out (the server has it all); a
    // refusal means the server is not taking any more.
    if (dataPhase_ == TDataPhase::Ending || first == '4' || first == '5') {
        controlSpoke_ = true;
        dataSocket_->Cancel();
    }
}

void TFTPClient::SocketClosed() {
    // A control connection that is gone ends any wait on the data connection.
    if (dataSocket_) dataSocket_->Cancel();
}

uint32_t TFTPClient::BytesSent() const {
    return dataSocket_ ? dataSocket_->BytesSent() : 0;
}

uint32_t TFTPClient::BytesRecvd() const {
    return dataSocket_ ? dataSocket_->BytesRecvd() : 0;
}

FTPException TFTPClient::ReplyError() const {
    // All lines of the reply, as a server may give its reason only in the
    // last; each "ddd-" reads "ddd ", so that whoever takes the code from
    // the text finds it.
    const bool whole = !replyLines_.empty() && replyLines_.front() == replyString_;
    AnsiString text;
    for (AnsiString line : whole ? replyLines_ : std::vector<AnsiString>{replyString_}) {
        if (line.size() >= 4 && line[3] == '-' && IsIntegerText(line.substr(0, 3))) line[3] = ' ';
        text += line;
    }
    return FTPException(text);
}

void TFTPClient::LoginFailedWhen(int low, int high) {
    if (!InRange(replyNumber_, low, high)) return;
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw ReplyError();
}

void TFTPClient::DiscardPendingInput() {
    if (!DataAvailable()) return;
    AnsiString stale;
    Read(0, stale);
}

void TFTPClient::Connect() {
    canceled_ = false;
    if (connected_) return;
    ClearInput();
    dataProtected_ = tlsBroken_ = false;
    tlsContext_.reset();
    TPumpSocket::Connect();
    try {
        AnsiString line, reply;
        ReadLn(line);
        TakeReplyLine(line);
        if (line.empty()) ConnectionGone();
        GetMultiLine(line);
        LoginFailedWhen(401, 32767);
        SecureControl();
        if (FWAuthenticate) {
            Transaction("USER " + FWUserID, reply);
            LoginFailedWhen(401, 599);
            if (replyNumber_ == 331) {
                ReportStatus(1, "PASS ");
                Transaction("PASS " + FWPassword, reply);
                LoginFailedWhen(401, 599);
            }
        }
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(this, handled);
        }
        bool userSent = false;
        if (!Proxy.empty()) {
            switch (FirewallType) {
            case FTUser:
                Transaction("USER " + UserID + "@" + Host, reply);
                userSent = true;
                break;
            case FtOpen:
                Transaction("OPEN " + Host, reply);
                break;
            case FtSite:
                Transaction("SITE " + Host, reply);
                break;
            }
        }
        if (!userSent) {
            ReportStatus(1, "USER " + UserID);
            Transaction("USER " + UserID, reply);
            LoginFailedWhen(401, 599);
        }
        if (replyNumber_ == 331) {
            ReportStatus(1, "PASS ");
            Transaction("PASS " + Password, reply);
            LoginFailedWhen(401, 599);
        }
        ProtectData();
        if (OnConnect) OnConnect(this);
    } catch (...) {
        Disconnect(); // an exception of its own replaces the first one
        ReportStatus(1, "Disconnected");
        throw;
    }
}

void TFTPClient::Disconnect() {
    canceled_ = false;
    if (!connected_) return;
    if (tlsBroken_) {
        tlsBroken_ = false;
        TPumpSocket::Disconnect();
        return;
    }
    try {
        ReportStatus(1, "QUIT");
        Vendor = 2411;
        DiscardPendingInput();
        AnsiString reply;
        TPumpSocket::Transaction("QUIT", reply);
        GetMultiLine(reply); // an empty reply (server closed) is fine here
        if (InRange(replyNumber_, 301, 599)) throw ReplyError();
    } catch (...) {
        TPumpSocket::Disconnect();
        throw;
    }
    TPumpSocket::Disconnect();
}

namespace {
AnsiString WithoutLineEnd(AnsiString text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

// A reply quoted inside a sentence of the log: no blanks at its end either.
AnsiString Quoted(const AnsiString& reply) {
    AnsiString text = WithoutLineEnd(reply);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}
} // namespace

void TFTPClient::SecureControl() {
    if (TlsMode == TTlsMode::Never) return;
    AnsiString reply;
    ReportStatus(1, "AUTH TLS");
    Transaction("AUTH TLS", reply);
    if (replyNumber_ != 234) {
        const AnsiString said = Quoted(replyString_);
        if (TlsMode == TTlsMode::Required)
            throw ETlsError(TTlsFailure::NotOffered,
                            "TLS is required, but the server refused AUTH TLS: " + said);
        // Level 0: the log shows it whatever else it leaves out.
        ReportStatus(0, "The server does not offer TLS (" + said + "): continuing unencrypted");
        return;
    }
    tlsContext_ = std::make_unique<TTlsContext>();
    tlsHost_ = Proxy.empty() ? Host : Proxy;
    try {
        StartTls(*tlsContext_, tlsHost_, false);
    } catch (...) {
        tlsBroken_ = true;
        throw;
    }
    ReportStatus(0, "TLS: " + Tls()->Description() + ", certificate of " + tlsHost_ + " verified");
}

void TFTPClient::ProtectData() {
    if (!Tls()) return;
    AnsiString reply;
    ReportStatus(1, "PBSZ 0");
    Transaction("PBSZ 0", reply);
    if (InRange(replyNumber_, 200, 299)) {
        ReportStatus(1, "PROT P");
        Transaction("PROT P", reply);
        if (InRange(replyNumber_, 200, 299)) {
            dataProtected_ = true;
            return;
        }
    }
    const AnsiString said = Quoted(replyString_);
    if (TlsMode == TTlsMode::Required)
        throw ETlsError(TTlsFailure::Protection,
                        "TLS is required, but the server refused to encrypt data: " + said);
    ReportStatus(0, "The server does not encrypt data (" + said + "): the page goes unencrypted");
}

bool TFTPClient::Fail(TCmdType type) {
    if (!OnFailure) throw ReplyError();
    bool handled = false;
    OnFailure(this, handled, type);
    if (!handled) throw ReplyError();
    return true;
}

void TFTPClient::DoCommand(const AnsiString& command) {
    TCmdType type = Classify(command);
    canceled_ = false;
    CheckConnection();
    ReportStatus(1, command);
    DiscardPendingInput();
    AnsiString reply;
    Transaction(command, reply);
    if (InRange(replyNumber_, 400, 599)) {
        if (InRange(replyNumber_, 500, 502) && OnUnSupportedFunction)
            OnUnSupportedFunction(this, type);
        Fail(type);
        return;
    }
    if (OnSuccess) OnSuccess(this, type);
}

void TFTPClient::ChangeDir(const AnsiString& directory) {
    DoCommand("CWD " + directory);
}

void TFTPClient::Mode(int mode) {
    switch (mode) {
    case 1:
        DoCommand("TYPE A");
        break;
    case 2:
        DoCommand("TYPE I");
        break;
    case 3:
        DoCommand("TYPE L 8");
        break;
    default:
        break;
    }
}

void TFTPClient::Upload(const AnsiString& localName, const AnsiString& remoteName) {
    canceled_ = false;
    try {
        Store(localName, remoteName, false);
    } catch (...) {
        if (!OnFailure) throw;
        bool handled = false;
        OnFailure(this, handled, ctUpload);
        if (!handled) throw;
    }
}

void TFTPClient::UploadAppend(const AnsiString& localName, const AnsiString& remoteName) {
    canceled_ = false;
    Store(localName, remoteName, true);
}

void TFTPClient::Store(const AnsiString& localName, const AnsiString& remoteName, bool append) {
    const TCmdType type = append ? ctUploadAppend : ctUpload;
    const AnsiString word = append ? "APPE " : "STOR ";
    CheckConnection();
    std::unique_lock<std::recursive_mutex> lock(TransferLock, std::defer_lock);
    if (!append) lock.lock();
    bool completed = false;
    try {
        DiscardPendingInput();
        dataSocket_ = std::make_unique<TPumpSocket>();
        dataSocket_->TimeOut = TimeOut;
        // Opened before any command goes out: a file that cannot be read must
        // not leave the server with an empty file under the remote name.
        struct stat st {};
        {
            const int fd =
                ::open(platform::FileSystemPath(localName).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) RaiseFileOpenError(localName, errno);
            const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            ::close(fd);
            if (!regular) RaiseFileOpenError(localName, EISDIR);
        }
        bytesTotal_ = static_cast<uint32_t>(st.st_size);
        if (OnPacketSent) dataSocket_->OnPacketSent = OnPacketSent;

        AnsiString reply;
        bool quiet = false; // a failure OnFailure took care of
        if (Passive) {
            Transaction("PASV", reply);
            if (replyNumber_ >= 500) {
                quiet = Fail(type);
            } else {
                dataSocket_->Port = PasvPort(replyString_);
                dataSocket_->Host = Host;
                dataSocket_->Connect();
            }
        } else {
            // Listen only where the server is reached, not on every interface.
            sockaddr_in local{};
            socklen_t len = sizeof local;
            ::getsockname(SocketHandle(), reinterpret_cast<sockaddr*>(&local), &len);
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
            dataSocket_->BindAddress = dotted;
            dataSocket_->Port = 0;
            dataSocket_->Listen(true);
            Transaction("PORT " + LocalAddressText() + dataSocket_->LocalPortText(), reply);
            if (InRange(replyNumber_, 301, 599)) quiet = Fail(type);
        }
        if (!quiet) {
            AnsiString command = word + (remoteName.empty() ? FileNamePart(localName) : remoteName);
            ReportStatus(1, word + (remoteName.empty() ? localName : remoteName));
            Transaction(command, reply);
            if (InRange(replyNumber_, 301, 599)) {
                if (InRange(replyNumber_, 500, 502) && OnUnSupportedFunction)
                    OnUnSupportedFunction(this, type);
                quiet = Fail(type);
            }
        }
        if (!quiet) {
            std::exception_ptr dataError;
            SendData(localName, dataError);
            Complete(type, dataError, quiet);
            completed = !quiet;
        }
    } catch (...) {
        dataSocket_.reset();
        throw;
    }
    dataSocket_.reset();
    if (lock.owns_lock()) lock.unlock();
    if (completed && OnSuccess) OnSuccess(this, type);
}

} // namespace net

namespace net {

void TFTPClient::SendData(const AnsiString& localName, std::exception_ptr& dataError) {
    aborted_ = controlSpoke_ = false;
    dataPhase_ = TDataPhase::Moving;
    // The data connection is closed before the completion reply is read: a
    // server may wait for that before it answers.
    struct TPhaseEnd {
        TFTPClient& c;
        ~TPhaseEnd() {
            c.dataPhase_ = TDataPhase::None;
            try {
                // Linger off: closing must deliver what is queued, not reset it.
                c.dataSocket_->SetLinger(false);
                c.dataSocket_->RequestCloseSocket();
            } catch (...) {
            }
        }
    } end{*this};
    try {
        if (!Passive) {
            // A server that never connects must not hold the caller forever.
            dataSocket_->TimerOn();
            uint16_t accepted;
            try {
                accepted = dataSocket_->Accept();
            } catch (...) {
                dataSocket_->TimerOff();
                throw;
            }
            dataSocket_->TimerOff();
            dataSocket_->ReplaceSocket(accepted);
        }
        if (dataProtected_) {
            dataSocket_->StartTls(*tlsContext_, tlsHost_, true);
            const TTlsLink& tls = *dataSocket_->Tls();
            ReportStatus(0, tls.Resumed() ? "Data connection: TLS, session resumed"
                            : tls.Offered()
                                ? "Data connection: TLS, new session (session not resumed)"
                                : "Data connection: TLS, new session (none to resume)");
        }
        {
            // Whole chunks go out at once instead of waiting on Nagle.
            int one = 1;
            ::setsockopt(dataSocket_->SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        if (OnTransactionStart) OnTransactionStart(this);
        if (!canceled_ && !timedOut_) dataSocket_->SendFile(localName);
        if (OnTransactionStop) OnTransactionStop(this);
        dataPhase_ = TDataPhase::Ending;
        // A reply already waiting ends the transfer; otherwise the data
        // connection has to end in good order.
        AnsiString broken =
            DataAvailable() ? dataSocket_->PendingErrorText() : dataSocket_->EndSending();
        if (!broken.empty()) dataError = std::make_exception_ptr(ESockError(broken));
    } catch (const ESockError&) {
        if (aborted_) throw; // the caller's own Abort: nothing more to wait for
        if (!connected_) {
            // The control connection went first and cancelled the data: that
            // loss is what the completion step reports.
        } else if (controlSpoke_ && dataPhase_ == TDataPhase::Ending) {
            AnsiString broken = dataSocket_->PendingErrorText();
            if (!broken.empty()) dataError = std::make_exception_ptr(ESockError(broken));
        } else {
            // The server's reply may still name the reason.
            dataError = std::current_exception();
        }
    }
}

void TFTPClient::Complete(TCmdType type, std::exception_ptr dataError, bool& quiet) {
    const int16_t storNumber = replyNumber_;
    const AnsiString storString = replyString_;
    try {
        // A few preliminary replies are passed over; a server that sends
        // nothing else is not waited for forever.
        for (int preliminary = 0;; ++preliminary) {
            if (canceled_ || timedOut_) throw EAbortError("Socket readln aborted");
            AnsiString line;
            ReadLn(line);
            if (line.empty()) ConnectionGone();
            TakeReplyLine(line);
            GetMultiLine(line);
            if (!InRange(replyNumber_, 100, 199) || preliminary == 3) break;
        }
    } catch (...) {
        if (dataError) std::rethrow_exception(dataError);
        throw;
    }
    if (InRange(replyNumber_, 200, 299)) {
        if (dataError) std::rethrow_exception(dataError);
        // The operation reports the code of its store command.
        replyNumber_ = storNumber;
        replyString_ = storString;
        return;
    }
    if (InRange(replyNumber_, 400, 599)) {
        quiet = Fail(type);
        return;
    }
    if (dataError) std::rethrow_exception(dataError);
    throw ESockError("Unexpected completion reply: " + WithoutLineEnd(replyString_));
}

} // namespace net
