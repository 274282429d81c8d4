#include "TLowFTP.h"

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "text/SjisText.h"

#include <cstdio>

namespace {

// Leading and trailing blanks and control characters go; CP932 bytes stay.
AnsiString TrimText(const AnsiString& text) {
    size_t from = 0, to = text.size();
    while (from < to && static_cast<unsigned char>(text[from]) <= ' ')
        ++from;
    while (to > from && static_cast<unsigned char>(text[to - 1]) <= ' ')
        --to;
    return text.substr(from, to - from);
}

const char* SuccessText(net::TCmdType type) {
    static const char* const texts[] = {
        "ChangeDir success", "MakeDir success", "Delete success",        "RemoveDir success",
        "List success",      "Rename success",  "UploadRestore success", "DownloadRestore success",
        "Download success",  "Upload success",  "UploadAppend success",  "ReInit success",
        "Allocate success",  "NList success",   "DoCommand success"};
    int i = static_cast<int>(type);
    return i >= 0 && i < static_cast<int>(std::size(texts)) ? texts[i] : nullptr;
}

// Milliseconds since `start` on the wrapping 32-bit clock.
int32_t Since(uint32_t start) {
    return static_cast<int32_t>(platform::TimeGetTime() - start);
}

} // namespace

TLowFTP::TLowFTP() : client_(std::make_unique<net::TFTPClient>()) {}

TLowFTP::~TLowFTP() {
    try {
        client_->Disconnect();
    } catch (...) {
        // Nothing can be reported any more.
    }
}

std::vector<AnsiString> TLowFTP::SplitPath(const AnsiString& path) {
    std::vector<AnsiString> pieces;
    AnsiString rest = path;
    while (!rest.empty()) {
        AnsiString piece = net::SplitAtDelimiter(rest, "\\");
        if (!piece.empty()) pieces.push_back(piece);
    }
    return pieces;
}

int TLowFTP::CodeOf(const AnsiString& line) {
    if (line.size() < 4 || line[3] != ' ') return 999;
    AnsiString head = line.substr(0, 3);
    if (!net::IsIntegerText(head) || head.find_first_of("0123456789") == AnsiString::npos)
        return 999;
    return std::stoi(head);
}

AnsiString TLowFTP::FormatDebugLine(uint32_t clock, const AnsiString& text) {
    char stamp[32];
    // At least five digits, zero-padded.
    std::snprintf(stamp, sizeof stamp, "D*%.5d:", static_cast<int32_t>(clock));
    return stamp + text;
}

AnsiString TLowFTP::TransferSummary(const char* what, int32_t bytes, int32_t ms) {
    // A transfer inside one clock tick has no measurable rate; it is shown as
    // if it took the one millisecond the clock can tell.
    double seconds = (ms > 0 ? ms : 1) / 1000.0;
    char line[160];
    std::snprintf(line, sizeof line, "    %s End %d Byte (%.2fByte/sec)", what, bytes,
                  bytes / seconds);
    return line;
}

int TLowFTP::AddLog(const AnsiString& line) {
    if (OnLogging) OnLogging(this, line);
    LogLines_.push_back(line);
    return CodeOf(line);
}

void TLowFTP::DebugLog(const AnsiString& text) {
    if (!debugmode) return;
    AddLog(FormatDebugLine(platform::TimeGetTime(), text));
}

template <class F> int TLowFTP::Guarded(F&& call) {
    try {
        return call();
    } catch (const platform::Exception& e) {
        if (const auto* tls = dynamic_cast<const net::ETlsError*>(&e)) TlsFailure_ = tls->Kind;
        // A reply of several lines is logged line by line; its code is the first line's.
        AnsiString rest = TrimText(e.Message);
        int code = AddLog(TrimText(net::SplitAtDelimiter(rest, "\r\n")));
        while (!rest.empty())
            if (AnsiString line = TrimText(net::SplitAtDelimiter(rest, "\r\n")); !line.empty())
                AddLog(line);
        return code;
    }
}

int TLowFTP::Setup(const AnsiString& host, const AnsiString& proxy, int32_t port) {
    SetupHost = host;
    SetupProxy = proxy;
    SetupPort = port;
    AttachReactions();
    return 100;
}

void TLowFTP::AttachReactions() {
    net::TFTPClient& c = *client_;
    c.OnSuccess = [this](net::TPumpSocket*, net::TCmdType type) {
        if (const char* text = SuccessText(type)) AddLog(std::to_string(Reply()) + " " + text);
    };
    c.OnConnect = [this](net::TPumpSocket*) {
        AddLog(std::to_string(Reply()) + " Connect success");
        if (Onctlsockconnect) Onctlsockconnect(this);
    };
    c.OnDisconnect = [this](net::TPumpSocket*) {
        if (Reply() == 0) return;
        AddLog(std::to_string(Reply()) + " Disconnected");
        if (OnCtlsockClose) OnCtlsockClose(this);
    };
    c.OnPacketSent = [this](net::TPumpSocket*) {
        TransferredBytes = static_cast<int32_t>(client_->BytesSent());
        NotifyTransfer(TransferredBytes, Since(TransferStart));
    };
    c.OnPacketRecvd = [this](net::TPumpSocket*) {
        RetrievedBytes = static_cast<int32_t>(client_->BytesRecvd());
        NotifyRetrieve(RetrievedBytes, Since(TransferStart));
    };
    // Shown but not kept: the operation that failed logs its own line.
    c.OnError = [this](net::TPumpSocket*, uint16_t errorNo, const AnsiString& message) {
        if (OnLogging) OnLogging(this, std::to_string(errorNo) + " " + message);
    };
    c.OnStatus = [this](net::TPumpSocket*, const AnsiString& status) { AddLog(status); };
    c.OnFailure = [this](net::TPumpSocket*, bool&, net::TCmdType) { DebugLog("Failure Event"); };
    c.OnHostResolved = [this](net::TPumpSocket*) { DebugLog("HostResolved Event"); };
    c.OnInvalidHost = [this](net::TPumpSocket*, bool&) { DebugLog("InvalidHost Event"); };
    c.OnUnSupportedFunction = [this](net::TPumpSocket*, net::TCmdType) {
        DebugLog("UnSupportedFunction Event");
    };
    c.OnConnectionFailed = [this](net::TPumpSocket*) { DebugLog("ConnectionFailed Event"); };
    c.OnTransactionStart = [this](net::TPumpSocket*) { DebugLog("TransactionStart Event"); };
    c.OnTransactionStop = [this](net::TPumpSocket*) { DebugLog("TransactionStop Event"); };
}

int TLowFTP::Connect(const AnsiString& user, const AnsiString& password) {
    if (SetupPort == 0) SetupPort = 21;
    client_->Host = SetupHost;
    if (!SetupProxy.empty()) {
        client_->Proxy = SetupProxy;
        client_->ProxyPort = SetupPort;
    }
    client_->TimeOut = static_cast<int>(WaitTimeout);
    client_->UserID = user;
    client_->Password = password;
    LogLines_.clear();
    TlsFailure_ = net::TTlsFailure::None;
    return Guarded([&] {
        DebugLog("Connect Send ");
        client_->Connect();
        DebugLog("Connect End ");
        return Reply();
    });
}

int TLowFTP::Disconnect() {
    Guarded([&] {
        client_->Disconnect();
        DebugLog("Disconnect Send ");
        DebugLog("Disconnect End  ");
        return 0;
    });
    return Reply();
}

int TLowFTP::ChangeDirPath(const AnsiString& path) {
    int result = 0;
    for (const AnsiString& piece : SplitPath(path))
        result = Guarded([&] {
            DebugLog("ChangeDir Send  " + piece);
            client_->ChangeDir(piece);
            DebugLog("ChangeDir End  ");
            return Reply();
        });
    return result;
}

int TLowFTP::ModeChangeToASCII() {
    return Guarded([&] {
        DebugLog("ModeChange to ASCII");
        client_->Mode(1);
        DebugLog("ModeChange to ASCII End");
        return Reply();
    });
}

int TLowFTP::Upload(const AnsiString& localFile, const AnsiString& remoteName) {
    return Guarded([&] {
        TransferStart = platform::TimeGetTime();
        TransferredBytes = 0;
        if (AppendMode) {
            DebugLog("UploadAppend Send " + remoteName);
            client_->UploadAppend(localFile, remoteName);
            DebugLog("UploadAppend End ");
        } else {
            DebugLog("Upload Send " + remoteName);
            client_->Upload(localFile, remoteName);
            DebugLog("Upload End ");
        }
        TransferEnd = platform::TimeGetTime();
        int reply = Reply();
        NotifyTransferFinished(TransferredBytes, static_cast<int32_t>(TransferEnd - TransferStart));
        return reply;
    });
}

void TLowFTP::NotifyTransfer(int32_t totalbytes, int32_t mmseconds) {
    if (Ontransfer) Ontransfer(this, totalbytes, mmseconds);
}

void TLowFTP::NotifyTransferFinished(int32_t totalbytes, int32_t mmseconds) {
    AddLog(TransferSummary("Transfer", totalbytes, mmseconds));
    if (Ontransferfinished) Ontransferfinished(this, totalbytes, mmseconds);
}

void TLowFTP::NotifyRetrieve(int32_t totalbytes, int32_t mmseconds) {
    if (Onretrieveing) Onretrieveing(this, totalbytes, mmseconds);
}

void TLowFTP::NotifyRetrieveFinished(int32_t totalbytes, int32_t mmseconds) {
    AddLog(TransferSummary("Retrived", totalbytes, mmseconds));
    if (Onretrievefinished) Onretrievefinished(this, totalbytes, mmseconds);
}
