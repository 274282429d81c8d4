#include "dplay/links/DPTlsEngine.h"

#include <algorithm>
#include <climits>
#include <openssl/err.h>

namespace dplay {

TDPTlsEngine::TDPTlsEngine(SSL_CTX* ctx, bool server) {
    ssl_ = SSL_new(ctx);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        if (ssl_) SSL_free(ssl_);
        if (in_) BIO_free(in_);
        if (out_) BIO_free(out_);
        ssl_ = nullptr;
        return;
    }
    // An empty buffer means "not yet", never the end of the stream: the
    // socket's end is told apart by the caller.
    BIO_set_mem_eof_return(in_, -1);
    BIO_set_mem_eof_return(out_, -1);
    SSL_set_bio(ssl_, in_, out_); // owned by ssl_ from here
    // A message of TLS's own (new keys) is taken in passing: "want read"
    // must mean the bytes fed so far hold no more plaintext.
    SSL_set_mode(ssl_, SSL_MODE_AUTO_RETRY);
    if (server)
        SSL_set_accept_state(ssl_);
    else
        SSL_set_connect_state(ssl_);
}

TDPTlsEngine::~TDPTlsEngine() {
    if (ssl_) SSL_free(ssl_);
}

void TDPTlsEngine::Feed(const uint8_t* data, size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
        const int n = BIO_write(in_, data, chunk);
        if (n <= 0) { // out of memory: nothing more can be opened
            failed_ = true;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

TDPTlsEngine::TStep TDPTlsEngine::Handshake() {
    if (failed_) return TStep::Failed;
    if (handshaken_) return TStep::Done;
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        handshaken_ = true;
        return TStep::Done;
    }
    const int error = SSL_get_error(ssl_, r);
    ERR_clear_error(); // this thread's queue must not carry our failure to another caller
    if (error == SSL_ERROR_WANT_READ) return TStep::More;
    if (error == SSL_ERROR_ZERO_RETURN) return TStep::Ended;
    failed_ = true;
    return TStep::Failed;
}

TDPTlsEngine::TStep TDPTlsEngine::Open(uint8_t* out, size_t capacity, size_t& got) {
    got = 0;
    if (failed_ || !handshaken_) return TStep::Failed;
    ERR_clear_error();
    const int r = SSL_read(ssl_, out, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
    if (r > 0) {
        got = static_cast<size_t>(r);
        return TStep::Done;
    }
    const int error = SSL_get_error(ssl_, r);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ) return TStep::More;
    if (error == SSL_ERROR_ZERO_RETURN) return TStep::Ended;
    failed_ = true;
    return TStep::Failed;
}

bool TDPTlsEngine::Seal(const uint8_t* data, size_t size) {
    if (failed_ || !handshaken_) return false;
    while (size > 0) {
        ERR_clear_error();
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
        const int n = SSL_write(ssl_, data, chunk);
        if (n <= 0) {
            ERR_clear_error();
            failed_ = true;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

size_t TDPTlsEngine::OutputSize() const {
    return ssl_ ? BIO_ctrl_pending(out_) : 0;
}

void TDPTlsEngine::TakeOutput(std::vector<uint8_t>& out) {
    const size_t pending = OutputSize();
    if (pending == 0) return;
    const size_t at = out.size();
    out.resize(at + pending);
    const int n = BIO_read(out_, out.data() + at, static_cast<int>(pending));
    out.resize(at + static_cast<size_t>(std::max(n, 0)));
}

} // namespace dplay
