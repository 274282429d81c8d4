#include "TlsLink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace net {
namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// connection the peer has reset; the program does not ignore that signal.
int FdOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool Transient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int SocketWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    long n = ::send(FdOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && Transient(errno)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int SocketRead(BIO* bio, char* into, int length) {
    BIO_clear_retry_flags(bio);
    long n = ::recv(FdOf(bio), into, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0 && Transient(errno)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long SocketControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pump socket");
        BIO_meth_set_write(m, SocketWrite);
        BIO_meth_set_read(m, SocketRead);
        BIO_meth_set_ctrl(m, SocketControl);
        BIO_meth_set_create(m, SocketCreate);
        return m;
    }();
    return method;
}

int NewSession(SSL* ssl, SSL_SESSION* session) {
    auto* context = static_cast<TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!context) return 0;
    context->KeepSession(session);
    return 1; // the reference is ours now
}

std::string OpenSslErrorText() {
    unsigned long code = ERR_peek_last_error();
    if (code == 0) return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

TTlsContext::TTlsContext() {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        throw ETlsError(TTlsFailure::Handshake, "TLS cannot be set up: " + OpenSslErrorText());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    // The system's authorities, or those SSL_CERT_FILE / SSL_CERT_DIR name.
    SSL_CTX_set_default_verify_paths(ctx_);
    // Many servers close without the closing alert; a reply cannot be
    // truncated into another one, and what is sent is decided by the reply.
    SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Sessions are kept by hand: with TLS 1.3 they arrive after the
    // handshake, on any connection, and the newest is the one to resume.
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx_, NewSession);
    SSL_CTX_set_app_data(ctx_, this);
}

TTlsContext::~TTlsContext() {
    for (SSL_SESSION* session : fresh_)
        SSL_SESSION_free(session);
    SSL_SESSION_free(offered_);
    SSL_CTX_free(ctx_);
}

void TTlsContext::KeepSession(ssl_session_st* session) {
    if (fresh_.size() == MaxKept) {
        SSL_SESSION_free(fresh_.front());
        fresh_.erase(fresh_.begin());
    }
    fresh_.push_back(session);
}

ssl_session_st* TTlsContext::SessionToOffer() {
    if (fresh_.empty()) return offered_;
    SSL_SESSION* newest = fresh_.back();
    if (SSL_SESSION_get_protocol_version(newest) < TLS1_3_VERSION) return newest;
    fresh_.pop_back();
    SSL_SESSION_free(offered_);
    offered_ = newest;
    return offered_;
}

TTlsLink::TTlsLink(TTlsContext& context, int fd, const std::string& host, bool resume)
    : host_(host) {
    ssl_ = SSL_new(context.Handle());
    BIO* bio = ssl_ ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        throw ETlsError(TTlsFailure::Handshake, "TLS cannot be set up: " + OpenSslErrorText());
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_connect_state(ssl_);
    in_addr dotted{};
    if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl_, host.c_str());
        SSL_set1_host(ssl_, host.c_str());
    }
    if (SSL_SESSION* session = resume ? context.SessionToOffer() : nullptr) {
        SSL_set_session(ssl_, session);
        offered_ = true;
    }
}

TTlsLink::~TTlsLink() {
    SSL_free(ssl_);
}

TTlsLink::TStep TTlsLink::StepOf(int result, bool handshake) {
    const int saved = errno;
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        return TStep::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TStep::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        closed_ = true;
        return TStep::Closed;
    case SSL_ERROR_SYSCALL:
        error_ = saved != 0 ? saved : ECONNRESET;
        break;
    default:
        error_ = ECONNABORTED;
        break;
    }
    if (handshake) {
        verifyResult_ = SSL_get_verify_result(ssl_);
        failure_ = OpenSslErrorText();
        if (failure_.empty()) failure_ = std::strerror(error_);
    }
    failed_ = true;
    return TStep::Failed;
}

TTlsLink::TStep TTlsLink::Handshake() {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_connect(ssl_);
    if (rc == 1) {
        established_ = true;
        return TStep::Done;
    }
    TStep step = StepOf(rc, true);
    // A server that hangs up before it finished its part has refused.
    if (step == TStep::Closed) {
        failure_ = "the server closed the connection";
        failed_ = true;
        return TStep::Failed;
    }
    return step;
}

ETlsError TTlsLink::HandshakeError() const {
    if (verifyResult_ == X509_V_ERR_HOSTNAME_MISMATCH ||
        verifyResult_ == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return ETlsError(TTlsFailure::HostName,
                         "TLS: the server's certificate is not made out to " + host_);
    if (verifyResult_ != X509_V_OK)
        return ETlsError(TTlsFailure::Certificate,
                         std::string("TLS: the server's certificate could not be verified (") +
                             X509_verify_cert_error_string(verifyResult_) + ")");
    return ETlsError(TTlsFailure::Handshake, "TLS handshake failed (" + failure_ + ")");
}

bool TTlsLink::Resumed() const {
    return SSL_session_reused(ssl_) == 1;
}

std::string TTlsLink::Description() const {
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

TTlsLink::TStep TTlsLink::Fill(size_t bound) {
    if (closed_) return TStep::Closed;
    if (failed_) return TStep::Failed;
    char chunk[16384];
    while (input_.size() < bound) {
        size_t got = 0;
        ERR_clear_error();
        errno = 0;
        int rc = SSL_read_ex(ssl_, chunk, std::min(sizeof chunk, bound - input_.size()), &got);
        if (rc == 1) {
            input_.append(chunk, got);
            continue;
        }
        TStep step = StepOf(rc, false);
        return step == TStep::WantWrite ? TStep::WantRead : step;
    }
    return TStep::WantRead;
}

long TTlsLink::Write(const char* data, size_t length, TStep& step) {
    step = TStep::Done;
    if (failed_ || closed_) {
        step = TStep::Failed;
        if (error_ == 0) error_ = EPIPE;
        return -1;
    }
    size_t written = 0;
    ERR_clear_error();
    errno = 0;
    if (SSL_write_ex(ssl_, data, length, &written) == 1) return static_cast<long>(written);
    step = StepOf(0, false);
    if (step == TStep::Closed) {
        step = TStep::Failed;
        error_ = EPIPE;
    }
    return -1;
}

TTlsLink::TStep TTlsLink::SendClose() {
    if (!established_ || failed_) return TStep::Done;
    ERR_clear_error();
    errno = 0;
    int rc = SSL_shutdown(ssl_);
    if (rc >= 0) return TStep::Done;
    TStep step = StepOf(rc, false);
    return step == TStep::Closed ? TStep::Done : step;
}

} // namespace net
