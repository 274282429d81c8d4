#pragma once
// One IPv4 TCP socket with blocking-style operations (connect, send a line,
// read a line, send a file, listen, accept). The socket itself is
// non-blocking; every operation that has to wait runs the GUI event loop
// until its socket becomes ready, its time-out timer fires or somebody
// cancels, so windows keep repainting and taking input meanwhile, and the
// thread sleeps while nothing happens.
//
// All of it runs on the GUI thread. Handlers called during a wait may start
// other operations; Cancel (or Abort) from a handler ends a wait.
#include "ESockError.h"
#include "TThreadTimer.h"
#include "platform/AnsiString.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <vector>

class QObject;
class QSocketNotifier;

namespace net {

class TPumpSocket;
class TTlsContext;
class TTlsLink;
using TNotifyEvent = std::function<void(TPumpSocket* Sender)>;
using THandlerEvent = std::function<void(TPumpSocket* Sender, bool& Handled)>;
using TOnHostResolved = std::function<void(TPumpSocket* Sender)>;
using TOnStatus = std::function<void(TPumpSocket* Sender, const AnsiString& Status)>;
using TOnErrorEvent =
    std::function<void(TPumpSocket* Sender, uint16_t Errno, const AnsiString& Errmsg)>;

class TPumpSocket {
  public:
    static constexpr uint16_t NoSocket = 65535;
    static constexpr int BufferSize = 65536;
    // Notification numbers: socket events, and lookup completion (or accept
    // readiness of a socket listening with the flag).
    static constexpr unsigned SocketMessage = 1125;
    static constexpr unsigned LookupMessage = 1126;
    enum : uint16_t { FD_READ = 1, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32 };

    TPumpSocket();
    virtual ~TPumpSocket();
    TPumpSocket(const TPumpSocket&) = delete;
    TPumpSocket& operator=(const TPumpSocket&) = delete;

    // Published properties.
    AnsiString Host;
    int Port = 0;
    int TimeOut = 0;     // milliseconds, 0 = none
    int ReportLevel = 0; // status texts above this level are not reported
    AnsiString Proxy;
    int ProxyPort = 0;
    // Address Listen binds to.
    AnsiString BindAddress = "0.0.0.0";

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketSent;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnDataAvailable;
    TNotifyEvent OnAccept;

    virtual uint16_t Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual void Transaction(const AnsiString& command, AnsiString& reply);
    virtual void Abort();

    void Cancel();
    void CheckConnection();
    void SendBuffer(const char* data, uint16_t length);
    void Write(const AnsiString& text);
    void Writeln(const AnsiString& text);
    void Read(uint16_t count, AnsiString& text);
    void ReadLn(AnsiString& text);
    void SendFile(const AnsiString& fileName);
    void Listen(bool notifyAsLookup);
    bool DataAvailable();
    void ClearInput();
    void ResolveHost();
    void RequestCloseSocket();
    AnsiString ErrorText(uint32_t code);
    AnsiString CheckError(uint32_t tolerated);
    void TimerOn();
    void TimerOff();
    void TimerTriggered(TThreadTimer* Sender);
    AnsiString LocalAddressText();
    AnsiString LocalPortText();
    void ReportStatus(int level, const AnsiString& text);

    // Puts an accepted connection (from Accept) in place of the listening
    // socket, which is closed without any event.
    void ReplaceSocket(uint16_t handle);
    // Linger on with 0 s (close resets) or off (close sends what is queued).
    void SetLinger(bool onWithZeroTime);
    // Ends the sending side once everything queued is out and waits until
    // the peer has closed its side, reset the connection, the time-out has
    // passed or somebody cancels (raising "Socket send aborted"). Sent
    // bytes may all sit in the socket buffers when the peer breaks off, so
    // only this tells a complete transfer from a broken one. Returns an
    // empty text for a peer that closed or is still there, else the error.
    AnsiString EndSending();
    // The error the connection has met so far (a reset, for instance), as
    // ErrorText gives it; empty when there is none.
    AnsiString PendingErrorText();
    // Makes the open connection a TLS client connection: everything read
    // and written from here on is encrypted. `host` is what the server's
    // certificate has to name; with `resume` the newest session of
    // `context` is offered. Raises ETlsError when the handshake fails (the
    // connection is then of no more use), ESockError on the time-out and
    // EAbortError on Cancel.
    void StartTls(TTlsContext& context, const AnsiString& host, bool resume);
    // The TLS connection, nullptr while the connection is in the clear.
    const TTlsLink* Tls() const { return tls_.get(); }

    // Read-only state.
    bool Connected() const { return connected_; }
    bool Canceled() const { return canceled_; }
    bool Closing() const { return closing_; }
    bool TimedOut() const { return timedOut_; }
    bool EventSucceeded() const { return eventSucceeded_; }
    bool EventSignalled() const { return eventSignalled_; }
    uint32_t LastErrorNo() const { return lastErrorNo_; }
    const AnsiString& Status() const { return status_; }
    const AnsiString& ReplyString() const { return replyString_; }
    int16_t ReplyNumber() const { return replyNumber_; }
    virtual uint32_t BytesSent() const { return bytesSent_; }
    virtual uint32_t BytesRecvd() const { return bytesRecvd_; }
    uint32_t BytesTotal() const { return bytesTotal_; }
    uint16_t SocketHandle() const { return socketHandle_; }
    const sockaddr_in& SockAddr() const { return sockAddr_; }
    const std::vector<AnsiString>& WinsockInfo() const { return winsockInfo_; }
    TThreadTimer& Timer() { return *timer_; }
    // The live instances that started socket use.
    static int WinsockUsers();

  protected:
    // Called after the socket was closed by RequestCloseSocket, before the
    // fresh one is made.
    virtual void SocketClosed() {}
    // The first line of a reply: Status, ReplyString and ReplyNumber.
    void TakeReplyLine(const AnsiString& line);
    // The first pending byte, without taking it; -1 when there is none.
    // Read readiness is not re-armed.
    int PeekByte();
    // Raises the error for a file that cannot be opened for reading.
    [[noreturn]] static void RaiseFileOpenError(const AnsiString& fileName, int err);

    bool connected_ = false;
    bool canceled_ = false;
    bool closing_ = false;
    bool timedOut_ = false;
    bool eventSucceeded_ = false;
    bool eventSignalled_ = false;
    bool destroying_ = false;
    uint32_t lastErrorNo_ = 0;
    uint32_t lastPlatformError_ = 0; // error of the latest failed socket call
    AnsiString status_;
    AnsiString replyString_;
    int16_t replyNumber_ = 0;
    uint32_t bytesSent_ = 0;
    uint32_t bytesRecvd_ = 0;
    uint32_t bytesTotal_ = 0;

  private:
    enum class TSockState { Fresh, Connecting, Open, Listening };

    void InitWinsock();
    void CreateSocket(bool linger);
    void RenewSocket();
    void AttachNotifiers();
    void DropNotifiers();
    void CloseHandleQuietly();
    void HandleSocketMessage(unsigned message, uint16_t event, uint16_t error);
    void CompleteConnect(uint32_t error);
    void PostConnectResult(uint32_t error);
    void SocketReadable();
    void SocketWritable();
    void LookupDone(uint64_t sequence, uint32_t error, uint32_t address);
    // recv() that records the error and re-arms the read notification.
    long Receive(char* into, size_t length, int flags);
    void RearmRead();
    void SetLowWater(int bytes);
    bool PeerHungUp() const;
    // send() or its TLS counterpart; -1 with lastPlatformError_ set.
    long Transmit(const char* data, size_t length);
    long ReceiveTls(char* into, size_t length, int flags);
    // Sleeps in the event loop until the socket can take the step TLS wants.
    void WaitForTls(bool toRead);

    uint16_t socketHandle_ = NoSocket;
    TSockState state_ = TSockState::Fresh;
    unsigned listenMessage_ = SocketMessage;
    uint64_t generation_ = 0;
    uint64_t lookupSequence_ = 0;
    bool readSignal_ = false;
    bool writeSignal_ = false;
    bool startedWinsock_ = false;
    bool lingerSet_ = false;
    bool endingSend_ = false; // inside EndSending
    // TLS is waiting for the socket itself: readiness only wakes the wait.
    bool tlsWaiting_ = false;
    bool tlsWantsRead_ = false; // the last refused write waits for input
    std::unique_ptr<TTlsLink> tls_;
    sockaddr_in sockAddr_{};
    uint32_t lookupAddress_ = 0;
    std::vector<AnsiString> winsockInfo_;
    std::unique_ptr<char[]> buffer_;
    std::unique_ptr<TThreadTimer> timer_;
    std::unique_ptr<QObject> notifyWindow_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    // Lets queued deliveries (lookup results, early connects) find out
    // whether this instance still exists.
    std::shared_ptr<TPumpSocket*> self_;
};

} // namespace net
