#pragma once
// TLS over memory: one SSL object between a buffer of bytes from the peer
// and a buffer of bytes for it, so that the caller decides which thread
// seals, which one opens and when bytes meet the socket. Not thread-safe:
// its owner guards it with one lock for sealing and opening alike.
#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>
#include <vector>

namespace dplay {

class TDPTlsEngine {
  public:
    // ctx: TLS 1.3 with both ends' certificates (TDPTls::Context);
    // server: we accepted the connection.
    TDPTlsEngine(SSL_CTX* ctx, bool server);
    ~TDPTlsEngine();
    TDPTlsEngine(const TDPTlsEngine&) = delete;
    TDPTlsEngine& operator=(const TDPTlsEngine&) = delete;

    // False when OpenSSL could not make the object (out of memory).
    bool Valid() const { return ssl_ != nullptr; }

    enum class TStep {
        Done,   // handshake over (or plaintext taken)
        More,   // needs more bytes from the peer
        Ended,  // the peer closed the TLS stream (close_notify)
        Failed, // the peer broke TLS, or presented nothing we take
    };

    // Bytes from the peer, in the order they came.
    void Feed(const uint8_t* data, size_t size);
    // Goes as far as the bytes fed allow; what it has for the peer waits in Output.
    TStep Handshake();
    bool Handshaken() const { return handshaken_; }
    // Plaintext from what was fed: Done with got > 0, or More when a whole
    // record is not there yet. Call again until it says More.
    TStep Open(uint8_t* out, size_t capacity, size_t& got);
    // Seals plaintext into records, appended to Output. False only when the
    // TLS state is broken (after a failure, before the handshake).
    bool Seal(const uint8_t* data, size_t size);

    // Bytes for the peer, in the order they must go.
    size_t OutputSize() const;
    // Appends everything waiting for the peer to out.
    void TakeOutput(std::vector<uint8_t>& out);

    SSL* Native() const { return ssl_; }

  private:
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;  // the peer's bytes, read by SSL
    BIO* out_ = nullptr; // written by SSL, for the peer
    bool handshaken_ = false;
    bool failed_ = false;
};

} // namespace dplay
