#pragma once
// The client side of TLS (OpenSSL) over one of TPumpSocket's non-blocking
// sockets. Nothing here waits: every call does what it can at once and says
// whether the socket has to become readable or writable first, so that the
// socket's own waits keep the event loop running.
//
// Authorities are the system's (SSL_CERT_FILE / SSL_CERT_DIR override them,
// which is how the tests trust a test authority); the server's certificate
// must name the host that was connected to.
#include "ESockError.h"

#include <cstddef>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace net {

enum class TTlsFailure {
    None,
    NotOffered,  // TLS was required and the server refused AUTH TLS
    Certificate, // the certificate does not verify against the authorities
    HostName,    // it verifies but names another host
    Handshake,   // anything else on the way to an encrypted connection
    Protection,  // TLS was required and the server refused to protect data
};

// A failure to set up TLS; the connection it happened on cannot be used any more.
class ETlsError : public ESockError {
  public:
    ETlsError(TTlsFailure kind, const AnsiString& message) : ESockError(message), Kind(kind) {}
    TTlsFailure Kind;
};

// What the connections of one FTP session share: the authorities and the
// sessions the server handed out on any of them, so that a data connection
// resumes the control connection's session. A TLS 1.3 session (a ticket)
// is offered once, the newest first, as servers may take each only once;
// a TLS 1.2 one serves every connection.
class TTlsContext {
  public:
    TTlsContext(); // raises ETlsError when OpenSSL cannot be set up
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    ssl_ctx_st* Handle() const { return ctx_; }
    // Takes over the reference.
    void KeepSession(ssl_session_st* session);
    // The session for the next connection to offer, owned here; when no
    // fresh one is left, the one offered last; nullptr before the server
    // sent any.
    ssl_session_st* SessionToOffer();

  private:
    static constexpr size_t MaxKept = 8;
    ssl_ctx_st* ctx_ = nullptr;
    std::vector<ssl_session_st*> fresh_; // oldest first
    ssl_session_st* offered_ = nullptr;
};

class TTlsLink {
  public:
    enum class TStep { Done, WantRead, WantWrite, Closed, Failed };

    // `host` is what the certificate has to name: a name or a dotted address.
    // With `resume`, the context's session to offer is offered.
    TTlsLink(TTlsContext& context, int fd, const std::string& host, bool resume);
    ~TTlsLink();
    TTlsLink(const TTlsLink&) = delete;
    TTlsLink& operator=(const TTlsLink&) = delete;

    // One step of the handshake.
    TStep Handshake();
    bool Established() const { return established_; }
    // After Handshake failed: the error to raise.
    ETlsError HandshakeError() const;
    // The data connection took up the session of an earlier connection.
    bool Resumed() const;
    // A session of an earlier connection was offered.
    bool Offered() const { return offered_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384"
    std::string Description() const;

    // Decrypts what the socket holds into Input(), up to `bound` bytes of it.
    // WantRead: the socket is drained (or the bound reached); Closed: the
    // peer ended the connection; Failed: a broken record or a socket error
    // (Error() tells which).
    TStep Fill(size_t bound);
    std::string& Input() { return input_; }
    // Encrypts and sends up to `length` bytes; the count sent, or -1 with
    // `step` saying what to wait for (WantWrite, WantRead) or Failed. A
    // retry after a wait must offer the same bytes again.
    long Write(const char* data, size_t length, TStep& step);
    // Sends the closing alert. Done once it went out.
    TStep SendClose();
    // The errno behind the last Failed step; ECONNABORTED for a broken record.
    int Error() const { return error_; }

  private:
    TStep StepOf(int result, bool handshake);

    ssl_st* ssl_ = nullptr;
    std::string host_;
    std::string input_;
    bool established_ = false;
    bool closed_ = false;
    bool failed_ = false;
    bool offered_ = false;
    int error_ = 0;
    long verifyResult_ = 0;
    std::string failure_;
};

} // namespace net
