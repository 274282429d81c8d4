#include "TPumpSocket.h"

#include "ERangeError.h"
#include "SockErrorCodes.h"
#include "TlsLink.h"
#include "platform/FileName.h"
#include "platform/MessagePump.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace net {
namespace {

int g_winsockUsers = 0;

// Ends a timed wait however the operation leaves.
class TTimerGuard {
  public:
    explicit TTimerGuard(TPumpSocket& s) : s_(s) { s_.TimerOn(); }
    ~TTimerGuard() {
        try {
            s_.TimerOff();
        } catch (...) {
        }
    }

  private:
    TPumpSocket& s_;
};

class TFileCloser {
  public:
    explicit TFileCloser(int fd) : fd_(fd) {}
    ~TFileCloser() { ::close(fd_); }

  private:
    int fd_;
};

} // namespace

int TPumpSocket::WinsockUsers() {
    return g_winsockUsers;
}

TPumpSocket::TPumpSocket()
    : buffer_(new char[BufferSize + 1]), timer_(std::make_unique<TThreadTimer>()),
      notifyWindow_(std::make_unique<QObject>()), self_(std::make_shared<TPumpSocket*>(this)) {
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TThreadTimer* sender) { TimerTriggered(sender); });
    InitWinsock();
}

TPumpSocket::~TPumpSocket() {
    destroying_ = true;
    ReportStatus(8, "Destroy");
    self_.reset();
    try {
        TPumpSocket::Abort();
        Cancel();
    } catch (...) {
    }
    timer_.reset();
    closing_ = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    CloseHandleQuietly();
    if (startedWinsock_) --g_winsockUsers;
    readNotifier_ = writeNotifier_ = nullptr;
    notifyWindow_.reset();
}

void TPumpSocket::InitWinsock() {
    ReportStatus(8, "Initializing Winsock");
    try {
        ++g_winsockUsers;
        startedWinsock_ = true;
        if (g_winsockUsers == 1) {
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            // Handles are 16-bit, so no more sockets than that can be told apart.
            unsigned long maxSockets = files.rlim_cur > 65535 ? 65535 : files.rlim_cur;
            winsockInfo_ = {"Version= 1.1",
                            "High Version= 1.1",
                            "Description= POSIX sockets (IPv4, TCP)",
                            "System= Running",
                            "Max Sockets= " + std::to_string(maxSockets),
                            "Max Udp pack size= 65507"};
        }
        try {
            CreateSocket(true);
        } catch (...) {
            --g_winsockUsers;
            startedWinsock_ = false;
            throw;
        }
    } catch (...) {
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TPumpSocket::CreateSocket(bool linger) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        lastPlatformError_ = SockErrorFromErrno(errno);
        CheckError(WSAEWOULDBLOCK);
        return;
    }
    if (fd >= NoSocket) {
        ::close(fd);
        throw ERangeError();
    }
    socketHandle_ = static_cast<uint16_t>(fd);
    SetLinger(linger);
    state_ = TSockState::Fresh;
    AttachNotifiers();
}

void TPumpSocket::RenewSocket() {
    bool linger = lingerSet_;
    CloseHandleQuietly();
    CreateSocket(linger);
}

void TPumpSocket::SetLinger(bool onWithZeroTime) {
    lingerSet_ = onWithZeroTime;
    if (socketHandle_ == NoSocket) return;
    ::linger l{onWithZeroTime ? 1 : 0, 0};
    ::setsockopt(socketHandle_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void TPumpSocket::AttachNotifiers() {
    ++generation_;
    readNotifier_ = new QSocketNotifier(socketHandle_, QSocketNotifier::Read, notifyWindow_.get());
    readNotifier_->setEnabled(false);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, notifyWindow_.get(),
                     [this] { SocketReadable(); });
    writeNotifier_ =
        new QSocketNotifier(socketHandle_, QSocketNotifier::Write, notifyWindow_.get());
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, notifyWindow_.get(),
                     [this] { SocketWritable(); });
}

void TPumpSocket::DropNotifiers() {
    // Possibly called from inside a notifier's own signal, so no delete here.
    for (QSocketNotifier* n : {readNotifier_, writeNotifier_}) {
        if (!n) continue;
        n->setEnabled(false);
        n->deleteLater();
    }
    readNotifier_ = writeNotifier_ = nullptr;
    ++generation_;
}

void TPumpSocket::CloseHandleQuietly() {
    tls_.reset();
    if (socketHandle_ == NoSocket) return;
    DropNotifiers();
    ::close(socketHandle_);
    socketHandle_ = NoSocket;
}

void TPumpSocket::RearmRead() {
    if (readNotifier_ && (state_ == TSockState::Open || state_ == TSockState::Listening))
        readNotifier_->setEnabled(true);
}

// Readiness is reported once and re-armed by the next receive, so data left
// unread does not wake the loop again and again.
void TPumpSocket::SocketReadable() {
    if (readNotifier_) readNotifier_->setEnabled(false);
    readSignal_ = true;
    if (endingSend_ || tlsWaiting_) return; // the waiting operation reads itself
    if (state_ == TSockState::Listening) {
        HandleSocketMessage(listenMessage_, FD_ACCEPT, 0);
        return;
    }
    if (state_ != TSockState::Open) return;
    if (tls_) {
        // Readable may mean only a record without data (a session ticket).
        TTlsLink::TStep step = tls_->Fill(BufferSize);
        if (!tls_->Input().empty())
            HandleSocketMessage(SocketMessage, FD_READ, 0);
        else if (step == TTlsLink::TStep::Closed)
            HandleSocketMessage(SocketMessage, FD_CLOSE, 0);
        else if (step == TTlsLink::TStep::Failed)
            HandleSocketMessage(SocketMessage, FD_CLOSE,
                                static_cast<uint16_t>(SockErrorFromErrno(tls_->Error())));
        else
            RearmRead();
        return;
    }
    char probe;
    long n = ::recv(socketHandle_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        HandleSocketMessage(SocketMessage, FD_READ, 0);
    } else if (n == 0) {
        HandleSocketMessage(SocketMessage, FD_CLOSE, 0);
    } else if (errno == EAGAIN || errno == EINTR) {
        RearmRead();
    } else {
        HandleSocketMessage(SocketMessage, FD_CLOSE,
                            static_cast<uint16_t>(SockErrorFromErrno(errno)));
    }
}

void TPumpSocket::SocketWritable() {
    if (writeNotifier_) writeNotifier_->setEnabled(false);
    writeSignal_ = true;
    if (state_ != TSockState::Connecting) return;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(socketHandle_, SOL_SOCKET, SO_ERROR, &err, &len);
    CompleteConnect(SockErrorFromErrno(err));
}

void TPumpSocket::CompleteConnect(uint32_t error) {
    state_ = error == 0 ? TSockState::Open : TSockState::Fresh;
    if (error == 0) RearmRead();
    lastPlatformError_ = error;
    HandleSocketMessage(SocketMessage, FD_CONNECT, static_cast<uint16_t>(error));
}

void TPumpSocket::PostConnectResult(uint32_t error) {
    // Deliver through the event loop, as a connect that had to wait would be.
    uint64_t gen = generation_;
    state_ = TSockState::Connecting;
    QMetaObject::invokeMethod(
        notifyWindow_.get(),
        [this, gen, error] {
            if (gen == generation_ && state_ == TSockState::Connecting) CompleteConnect(error);
        },
        Qt::QueuedConnection);
}

void TPumpSocket::HandleSocketMessage(unsigned message, uint16_t event, uint16_t error) {
    try {
        eventSucceeded_ = error == 0;
        if (message == SocketMessage) {
            switch (event) {
            case FD_READ:
                if (OnDataAvailable) {
                    try {
                        OnDataAvailable(this);
                    } catch (...) {
                    }
                }
                break;
            case FD_ACCEPT:
                connected_ = true;
                if (OnAccept) OnAccept(this);
                break;
            case FD_CONNECT:
                if (eventSucceeded_) {
                    connected_ = true;
                    if (OnConnect) OnConnect(this);
                }
                break;
            case FD_CLOSE:
                if (!DataAvailable()) RequestCloseSocket();
                break;
            default:
                break;
            }
        } else if (message == LookupMessage) {
            eventSignalled_ = true;
            if (event == FD_ACCEPT) connected_ = true;
        }
    } catch (...) {
    }
}

long TPumpSocket::Receive(char* into, size_t length, int flags) {
    long n;
    if (tls_) {
        n = ReceiveTls(into, length, flags);
    } else {
        n = ::recv(socketHandle_, into, length, flags | MSG_DONTWAIT);
        if (n < 0) lastPlatformError_ = SockErrorFromErrno(errno);
    }
    RearmRead();
    return n;
}

long TPumpSocket::ReceiveTls(char* into, size_t length, int flags) {
    // Everything the socket holds is decrypted first, so that a wait for
    // readiness never sleeps on data OpenSSL already took in.
    TTlsLink::TStep step = tls_->Fill(BufferSize);
    std::string& input = tls_->Input();
    if (!input.empty()) {
        size_t n = std::min(length, input.size());
        std::memcpy(into, input.data(), n);
        if (!(flags & MSG_PEEK)) input.erase(0, n);
        return static_cast<long>(n);
    }
    if (step == TTlsLink::TStep::Closed) return 0;
    lastPlatformError_ =
        step == TTlsLink::TStep::Failed ? SockErrorFromErrno(tls_->Error()) : WSAEWOULDBLOCK;
    return -1;
}

long TPumpSocket::Transmit(const char* data, size_t length) {
    tlsWantsRead_ = false;
    if (!tls_) {
        long n = ::send(socketHandle_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) lastPlatformError_ = SockErrorFromErrno(errno);
        return n;
    }
    TTlsLink::TStep step;
    long n = tls_->Write(data, length, step);
    if (n >= 0) return n;
    tlsWantsRead_ = step == TTlsLink::TStep::WantRead;
    lastPlatformError_ =
        step == TTlsLink::TStep::Failed ? SockErrorFromErrno(tls_->Error()) : WSAEWOULDBLOCK;
    return -1;
}

namespace {
// Sets a flag for the length of a scope; restores what it was.
class TFlagScope {
  public:
    explicit TFlagScope(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = was_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

  private:
    bool& flag_;
    bool was_;
};
} // namespace

void TPumpSocket::WaitForTls(bool toRead) {
    if (toRead) {
        // Input that TLS waits for is its own to read.
        TFlagScope waiting(tlsWaiting_);
        readSignal_ = false;
        RearmRead();
        platform::PumpUntil([this] { return readSignal_ || canceled_ || timedOut_; });
    } else {
        writeSignal_ = false;
        if (writeNotifier_) writeNotifier_->setEnabled(true);
        platform::PumpUntil([this] { return writeSignal_ || canceled_ || timedOut_; });
        if (writeNotifier_) writeNotifier_->setEnabled(false);
    }
}

void TPumpSocket::StartTls(TTlsContext& context, const AnsiString& host, bool resume) {
    ReportStatus(8, "Starting TLS");
    if (socketHandle_ == NoSocket || state_ != TSockState::Open)
        throw ESockError(ErrorText(WSAENOTCONN));
    tls_ = std::make_unique<TTlsLink>(context, socketHandle_, host, resume);
    TFlagScope waiting(tlsWaiting_);
    TTimerGuard timer(*this);
    for (;;) {
        TTlsLink::TStep step = tls_->Handshake();
        if (step == TTlsLink::TStep::Done) break;
        if (step == TTlsLink::TStep::Failed) {
            ETlsError error = tls_->HandshakeError();
            tls_.reset();
            throw error;
        }
        WaitForTls(step == TTlsLink::TStep::WantRead);
        if (!tls_) throw ESockError(ErrorText(WSAENOTCONN)); // closed meanwhile
        if (timedOut_ || canceled_) {
            tls_.reset();
            canceled_ = false;
            if (timedOut_) throw ESockError("TLS handshake timed out");
            throw EAbortError("TLS handshake canceled");
        }
    }
}

void TPumpSocket::SetLowWater(int bytes) {
    // Counted in bytes on the wire, which TLS does not match.
    if (socketHandle_ == NoSocket || tls_) return;
    ::setsockopt(socketHandle_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

bool TPumpSocket::PeerHungUp() const {
    pollfd p{socketHandle_, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void TPumpSocket::ReportStatus(int level, const AnsiString& text) {
    try {
        if (level > ReportLevel) return;
        status_ = text;
        if (!destroying_ && OnStatus) OnStatus(this, status_);
    } catch (...) {
    }
}

void TPumpSocket::ResolveHost() {
    ReportStatus(8, "Resolve Host");
    const AnsiString& name = Proxy.empty() ? Host : Proxy;
    size_t n = std::min(name.size(), static_cast<size_t>(BufferSize));
    std::memcpy(buffer_.get(), name.data(), n);
    buffer_[n] = 0;
    in_addr_t dotted = ::inet_addr(buffer_.get());
    if (dotted != INADDR_NONE) {
        sockAddr_.sin_addr.s_addr = dotted;
        return;
    }
    sockAddr_.sin_addr.s_addr = 0;
    TimerOn();
    eventSignalled_ = false;
    uint64_t sequence = ++lookupSequence_;
    std::weak_ptr<TPumpSocket*> self = self_;
    std::string host(buffer_.get());
    // getaddrinfo blocks, so it runs on its own thread and hands the result
    // back to the GUI thread; a result for a socket that is gone is dropped.
    std::thread([self, sequence, host] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        uint32_t error = SockErrorFromLookup(rc, errno);
        uint32_t address = 0;
        if (rc == 0 && found) {
            address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        } else if (rc == 0) {
            error = 11004;
        }
        if (found) ::freeaddrinfo(found);
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app,
                [self, sequence, error, address] {
                    if (auto s = self.lock()) (*s)->LookupDone(sequence, error, address);
                },
                Qt::QueuedConnection);
        }
    }).detach();
    platform::PumpUntil([this] { return eventSignalled_ || timedOut_ || canceled_; });
    TimerOff();
    if (timedOut_) throw ESockError("Host Lookup Timed Out");
    if (canceled_) throw ESockError("Host Lookup Canceled");
    if (!eventSucceeded_) throw ESockError("Host Lookup Failed");
    sockAddr_.sin_addr.s_addr = lookupAddress_;
    if (OnHostResolved) OnHostResolved(this);
}

void TPumpSocket::LookupDone(uint64_t sequence, uint32_t error, uint32_t address) {
    if (sequence != lookupSequence_) return; // an earlier lookup that was given up
    lookupAddress_ = address;
    HandleSocketMessage(LookupMessage, 0, static_cast<uint16_t>(error));
}

void TPumpSocket::Connect() {
    ReportStatus(8, "Connecting");
    canceled_ = false;
    if (connected_) throw ESockError("Already connected");
    for (int pass = 0;; ++pass) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (e.Message == "Host Lookup Timed Out" || e.Message == "Host Lookup Canceled") throw;
        }
        if (sockAddr_.sin_addr.s_addr != 0) break;
        if (pass > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(this, handled);
        if (!handled) throw ESockError("Null Remote Address");
    }
    int port = Proxy.empty() ? Port : ProxyPort;
    if (port < 0 || port > 65535) throw ERangeError();
    sockAddr_.sin_family = AF_INET;
    sockAddr_.sin_port = htons(static_cast<uint16_t>(port));
    eventSignalled_ = false;
    eventSucceeded_ = true;
    int rc =
        ::connect(socketHandle_, reinterpret_cast<const sockaddr*>(&sockAddr_), sizeof sockAddr_);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        state_ = TSockState::Connecting;
        if (writeNotifier_) writeNotifier_->setEnabled(true);
    } else if (err == 0 || err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH ||
               err == ETIMEDOUT) {
        PostConnectResult(SockErrorFromErrno(err));
    } else {
        lastPlatformError_ = SockErrorFromErrno(err);
        RenewSocket();
        CheckError(WSAEWOULDBLOCK);
    }
    {
        TTimerGuard timer(*this);
        platform::PumpUntil(
            [this] { return connected_ || timedOut_ || canceled_ || !eventSucceeded_; });
    }
    if (!timedOut_ && !canceled_ && eventSucceeded_) return;
    // A socket whose connect failed or is still under way cannot connect
    // again; the next Connect gets a fresh one.
    RenewSocket();
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (timedOut_) throw ESockError("Connection Timed out");
    if (canceled_) throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TPumpSocket::Disconnect() {
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TPumpSocket::Cancel() {
    ReportStatus(8, "Canceling");
    canceled_ = true;
}

void TPumpSocket::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TPumpSocket::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    for (int attempts = 0; !connected_; ++attempts) {
        if (attempts > 0 || !OnConnectionRequired) throw platform::Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(this, handled);
        if (!handled) throw platform::Exception("Not Connected");
    }
}

void TPumpSocket::SendBuffer(const char* data, uint16_t length) {
    ReportStatus(4, "Sending Buffer");
    {
        TTimerGuard timer(*this);
        if (!canceled_) {
            size_t total = length ? length : ::strnlen(data, BufferSize);
            if (total > 65535) throw ERangeError();
            size_t sent = 0;
            int stalledMs = 0;
            while (sent < total && !canceled_) {
                long n = Transmit(data + sent, total - sent);
                if (n == 0) break;
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                    stalledMs = 0;
                    continue;
                }
                CheckError(WSAEWOULDBLOCK);
                // A full send buffer: sleep until it drains instead of
                // retrying hot. No events run here, so the time-out is
                // counted by hand.
                pollfd p{socketHandle_, static_cast<short>(tlsWantsRead_ ? POLLIN : POLLOUT), 0};
                if (::poll(&p, 1, 100) == 0) stalledMs += 100;
                if (TimeOut > 0 && stalledMs >= TimeOut) {
                    timedOut_ = true;
                    canceled_ = true;
                }
            }
        }
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPumpSocket::Write(const AnsiString& text) {
    ReportStatus(8, "Write");
    if (text.size() > 65535) throw ERangeError();
    std::memcpy(buffer_.get(), text.data(), text.size());
    buffer_[text.size()] = 0;
    SendBuffer(buffer_.get(), 0);
}

void TPumpSocket::Writeln(const AnsiString& text) {
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

void TPumpSocket::Read(uint16_t count, AnsiString& text) {
    ReportStatus(8, "Read( " + std::to_string(count) + " )");
    text.clear();
    char* buf = buffer_.get();
    if (count == 0) {
        long n = Receive(buf, BufferSize, MSG_PEEK);
        if (n < 0) {
            CheckError(WSAEWOULDBLOCK);
            return;
        }
        if (n >= BufferSize) throw ERangeError();
        count = static_cast<uint16_t>(n);
        if (count == 0) return;
    } else {
        // Wake only once `count` bytes are there, not for every piece.
        SetLowWater(count);
        struct TLowWaterReset {
            TPumpSocket& s;
            ~TLowWaterReset() { s.SetLowWater(1); }
        } reset{*this};
        for (;;) {
            readSignal_ = false;
            long n = Receive(buf, BufferSize, MSG_PEEK);
            if (n >= count) break;
            if (n == 0) return;
            if (n < 0) {
                if (lastPlatformError_ == WSAENOTCONN) return; // closed meanwhile
                CheckError(WSAEWOULDBLOCK);
            } else if (PeerHungUp()) {
                count = static_cast<uint16_t>(n); // the rest will never come
                break;
            }
            platform::PumpUntil([this] { return readSignal_ || canceled_; });
            if (canceled_) break;
        }
        if (canceled_) {
            canceled_ = false;
            throw EAbortError("Socket send aborted");
        }
    }
    long got = Receive(buf, count, 0);
    if (got > 0) text.assign(buf, static_cast<size_t>(got));
}

void TPumpSocket::ReadLn(AnsiString& text) {
    ReportStatus(8, "ReadLn");
    text.clear();
    char* buf = buffer_.get();
    size_t collected = 0;
    size_t lineEnd = 0; // offset of the LF
    bool found = false;
    {
        TTimerGuard timer(*this);
        for (;;) {
            if (collected >= static_cast<size_t>(BufferSize)) {
                // The rest of such a line cannot be told from the next
                // reply, so the connection is given up.
                RequestCloseSocket();
                throw ESockError("Line too long");
            }
            readSignal_ = false;
            long n = Receive(buf + collected, BufferSize - collected, MSG_PEEK);
            bool wait = false;
            if (n == 0) {
                text.clear();
                return;
            }
            if (n < 0) {
                lastErrorNo_ = lastPlatformError_;
                if (lastErrorNo_ == WSAENOTCONN) {
                    text.clear();
                    return;
                }
                CheckError(WSAEWOULDBLOCK);
                wait = true;
            } else {
                auto* lf = static_cast<char*>(std::memchr(buf + collected, '\n', n));
                if (lf) {
                    lineEnd = static_cast<size_t>(lf - buf);
                    found = true;
                    break;
                }
                long got = Receive(buf + collected, static_cast<size_t>(n), 0);
                if (got > 0) {
                    text.append(buf + collected, static_cast<size_t>(got));
                    collected += static_cast<size_t>(got);
                }
            }
            if (wait)
                platform::PumpUntil([this] { return readSignal_ || canceled_ || timedOut_; });
            else
                platform::ProcessMessages();
            if (canceled_ || timedOut_) break;
        }
    }
    if (!found) {
        canceled_ = false;
        text.clear();
        throw EAbortError("Socket readln aborted");
    }
    long got = Receive(buf + collected, lineEnd - collected + 1, 0);
    if (got > 0) text.append(buf + collected, static_cast<size_t>(got));
}

void TPumpSocket::TakeReplyLine(const AnsiString& line) {
    replyNumber_ = 0;
    replyString_ = line;
    if (line.empty()) return;
    ReportStatus(1, line);
    int64_t value = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    if (digits == 0) return;
    if (value > 32767) throw ERangeError();
    replyNumber_ = static_cast<int16_t>(value);
}

void TPumpSocket::Transaction(const AnsiString& command, AnsiString& reply) {
    ReportStatus(8, "Transaction");
    replyNumber_ = 0;
    Writeln(command);
    AnsiString line;
    ReadLn(line);
    TakeReplyLine(line);
    reply = replyString_;
}

void TPumpSocket::RaiseFileOpenError(const AnsiString& fileName, int err) {
    throw platform::Exception("Cannot open file \"" + fileName + "\". " + std::strerror(err));
}

void TPumpSocket::SendFile(const AnsiString& fileName) {
    ReportStatus(8, "SendFile");
    int file = ::open(platform::FileSystemPath(fileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) RaiseFileOpenError(fileName, errno);
    {
        TFileCloser closer(file);
        struct stat st {};
        ::fstat(file, &st);
        off_t size = st.st_size;
        off_t position = 0;
        char* buf = buffer_.get();
        while (position < size && !canceled_) {
            long chunk = ::read(file, buf, BufferSize);
            if (chunk < 0) throw platform::Exception("Read error on \"" + fileName + "\"");
            if (chunk == 0) break; // the file became shorter meanwhile
            position += chunk;
            long sent = 0;
            while (sent < chunk && !canceled_) {
                long n = Transmit(buf + sent, static_cast<size_t>(chunk - sent));
                if (n == 0) break;
                if (n < 0) {
                    CheckError(WSAEWOULDBLOCK);
                    // Sleep in the event loop until the peer takes more; a
                    // peer that takes nothing for TimeOut ms ends the send.
                    TTimerGuard timer(*this);
                    WaitForTls(tlsWantsRead_);
                    continue;
                }
                sent += n;
                bytesSent_ += static_cast<uint32_t>(n);
                if (OnPacketSent) OnPacketSent(this);
                platform::ProcessMessages();
            }
        }
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPumpSocket::Listen(bool notifyAsLookup) {
    ReportStatus(8, "Listening");
    if (Port < 0 || Port > 65535) throw ERangeError();
    sockAddr_ = sockaddr_in{};
    sockAddr_.sin_family = AF_INET;
    sockAddr_.sin_addr.s_addr = ::inet_addr(BindAddress.c_str());
    sockAddr_.sin_port = htons(static_cast<uint16_t>(Port));
    eventSignalled_ = false;
    ::bind(socketHandle_, reinterpret_cast<const sockaddr*>(&sockAddr_), sizeof sockAddr_);
    listenMessage_ = notifyAsLookup ? LookupMessage : SocketMessage;
    state_ = TSockState::Listening;
    ::listen(socketHandle_, 1);
    RearmRead();
}

uint16_t TPumpSocket::Accept() {
    ReportStatus(4, "Accepting");
    platform::PumpUntil([this] { return eventSignalled_ || canceled_; });
    if (canceled_) throw ESockError("Accepting Canceled");
    if (!eventSucceeded_) throw ESockError("Error creating Data Connection");
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(socketHandle_, reinterpret_cast<sockaddr*>(&peer), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    RearmRead();
    if (fd < 0) {
        lastPlatformError_ = SockErrorFromErrno(errno);
        CheckError(WSAEWOULDBLOCK);
        throw ESockError("Error creating Data Connection");
    }
    if (fd >= NoSocket) {
        ::close(fd);
        throw ERangeError();
    }
    sockAddr_ = peer;
    if (canceled_) {
        canceled_ = false;
        ::close(fd);
        throw EAbortError("Socket send aborted");
    }
    return static_cast<uint16_t>(fd);
}

void TPumpSocket::ReplaceSocket(uint16_t handle) {
    CloseHandleQuietly();
    socketHandle_ = handle;
    state_ = TSockState::Open;
    AttachNotifiers();
    RearmRead();
}

AnsiString TPumpSocket::EndSending() {
    if (socketHandle_ == NoSocket) return ErrorText(WSAENOTCONN);
    if (tls_) {
        // The closing alert tells the peer the data ended here and was not cut off.
        TTimerGuard timer(*this);
        for (;;) {
            TTlsLink::TStep step = tls_->SendClose();
            if (step == TTlsLink::TStep::Done) break;
            if (step == TTlsLink::TStep::Failed)
                return ErrorText(SockErrorFromErrno(tls_->Error()));
            WaitForTls(step == TTlsLink::TStep::WantRead);
            if (!tls_) return ErrorText(WSAENOTCONN);
            if (canceled_ || timedOut_) break;
        }
        if (canceled_) {
            canceled_ = false;
            throw EAbortError("Socket send aborted");
        }
    }
    if (::shutdown(socketHandle_, SHUT_WR) != 0) {
        // A reset that came in meanwhile leaves the socket unconnected.
        AnsiString pending = PendingErrorText();
        return pending.empty() ? ErrorText(SockErrorFromErrno(errno)) : pending;
    }
    // The peer answers the end of the data by closing its side (a clean
    // end) or by a reset; anything it sends before that is dropped.
    char scratch[4096];
    {
        // The peer's close must not replace the socket before its error is read.
        endingSend_ = true;
        struct TEndingReset {
            bool& flag;
            ~TEndingReset() { flag = false; }
        } reset{endingSend_};
        TTimerGuard timer(*this);
        for (;;) {
            readSignal_ = false;
            long n = Receive(scratch, sizeof scratch, 0);
            if (n == 0) break;
            if (n < 0 && lastPlatformError_ != WSAEWOULDBLOCK) return ErrorText(lastPlatformError_);
            if (n > 0) continue;
            platform::PumpUntil([this] { return readSignal_ || canceled_ || timedOut_; });
            if (canceled_ || timedOut_) break;
        }
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError("Socket send aborted");
    }
    return PendingErrorText();
}

AnsiString TPumpSocket::PendingErrorText() {
    if (socketHandle_ == NoSocket) return {};
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(socketHandle_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0) return {};
    return ErrorText(SockErrorFromErrno(err));
}

int TPumpSocket::PeekByte() {
    // Not re-armed: a handler that leaves the byte where it is must not be
    // woken for it again and again.
    unsigned char c = 0;
    if (socketHandle_ == NoSocket || tlsWaiting_) return -1;
    if (tls_) {
        tls_->Fill(BufferSize);
        const std::string& input = tls_->Input();
        return input.empty() ? -1 : static_cast<unsigned char>(input[0]);
    }
    return ::recv(socketHandle_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1 ? c : -1;
}

bool TPumpSocket::DataAvailable() {
    ReportStatus(8, "Data Available");
    return Receive(buffer_.get(), 1, MSG_PEEK) >= 1;
}

void TPumpSocket::ClearInput() {
    ReportStatus(8, "Clearing Input");
    std::unique_ptr<char[]> scratch(new char[BufferSize]);
    Receive(scratch.get(), BufferSize, 0);
}

void TPumpSocket::RequestCloseSocket() {
    ReportStatus(4, "Request Close Socket");
    connected_ = false;
    tls_.reset();
    if (socketHandle_ == NoSocket) return;
    DropNotifiers();
    // Wake any wait on this socket: its next look finds the socket gone.
    readSignal_ = writeSignal_ = true;
    int rc = ::close(socketHandle_);
    int err = errno;
    socketHandle_ = NoSocket;
    state_ = TSockState::Fresh;
    if (rc != 0 && err != EINTR) {
        lastPlatformError_ = SockErrorFromErrno(err);
        CheckError(WSAEWOULDBLOCK);
    }
    if (OnDisconnect && !destroying_) OnDisconnect(this);
    if (!destroying_) SocketClosed();
    if (!closing_) CreateSocket(false);
}

AnsiString TPumpSocket::ErrorText(uint32_t code) {
    ReportStatus(8, "Looking Up Error Message");
    if (code == 0) return {};
    if (const char* text = SockErrorTableText(code)) return std::to_string(code) + ":" + text;
    return "Unknown Error No. " + std::to_string(code);
}

AnsiString TPumpSocket::CheckError(uint32_t tolerated) {
    lastErrorNo_ = lastPlatformError_;
    if (lastErrorNo_ != tolerated && lastErrorNo_ > 10000) {
        AnsiString text = ErrorText(lastErrorNo_);
        if (OnError) OnError(this, static_cast<uint16_t>(lastErrorNo_), text);
        throw ESockError(text);
    }
    return {};
}

void TPumpSocket::TimerOn() {
    ReportStatus(8, "Timer On");
    timedOut_ = false;
    if (TimeOut < 0) throw ERangeError();
    timer_->SetInterval(static_cast<uint32_t>(TimeOut));
    timer_->SetEnabled(true);
}

void TPumpSocket::TimerOff() {
    ReportStatus(8, "Timer Off");
    if (timer_) timer_->SetEnabled(false);
}

void TPumpSocket::TimerTriggered(TThreadTimer*) {
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    timedOut_ = true;
    eventSignalled_ = true;
    Abort();
}

AnsiString TPumpSocket::LocalAddressText() {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(socketHandle_, reinterpret_cast<sockaddr*>(&local), &len);
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
    AnsiString text = dotted;
    int replaced = 0;
    for (char& c : text)
        if (c == '.' && replaced < 3) {
            c = ',';
            ++replaced;
        }
    return text;
}

AnsiString TPumpSocket::LocalPortText() {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(socketHandle_, reinterpret_cast<sockaddr*>(&local), &len);
    unsigned p = ntohs(local.sin_port);
    return "," + std::to_string(p / 256) + "," + std::to_string(p % 256);
}

} // namespace net
