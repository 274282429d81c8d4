#include "dplay/links/DPTls.h"

#include "identity/Identity.h"
#include "identity/Keys.h"

#include <atomic>
#include <openssl/ssl.h>

namespace dplay {
namespace {

std::atomic<bool> plainLinks{false};

// Self-signed keys are the rule here; which key is welcome is decided above TLS.
int TakeAnyCertificate(int, X509_STORE_CTX*) {
    return 1;
}

} // namespace

void SetPlainLinksForBenchmark(bool plain) {
    plainLinks = plain;
}

bool PlainLinksForBenchmark() {
    return plainLinks;
}

TDPTls::TDPTls() : context_(asio::ssl::context::tls) {
    SSL_CTX* ctx = context_.native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // Both ends show their key; a handshake without one fails.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, TakeAnyCertificate);
    // Links are long-lived and never resumed: tickets would be bytes for nothing.
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
}

bool TDPTls::Use(EVP_PKEY* key) {
    auto certificate = identity::MakeSelfSignedCertificate(key);
    auto fingerprint = identity::FingerprintOf(key);
    SSL_CTX* ctx = context_.native_handle();
    if (!certificate || !fingerprint || SSL_CTX_use_certificate(ctx, certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1)
        return false;
    ownKey_ = fingerprint->Bytes;
    return true;
}

std::unique_ptr<TDPTls> TDPTls::ForUser() {
    std::unique_ptr<TDPTls> tls(new TDPTls);
    identity::TIdentity user = identity::LoadOrCreateIdentity();
    if (user.Key && tls->Use(user.Key.get())) {
        tls->notice_ = user.Message();
        tls->noticeEnglish_ = user.English();
        return tls;
    }
    auto fresh = identity::MakeKey();
    if (!fresh || !tls->Use(fresh.get())) return nullptr;
    // Rooms still work; only the host key others remembered will not match next time.
    tls->notice_ = user.Message().empty()
                       ? "利用者の鍵を使えないため、この実行の間だけの鍵を使います。"
                       : user.Message() + "\nこの実行の間だけの鍵を使います。";
    tls->noticeEnglish_ = (user.English().empty() ? std::string("the user's key cannot be used")
                                                  : user.English()) +
                          "; a key for this run only is used.";
    return tls;
}

std::unique_ptr<TDPTls> TDPTls::Ephemeral() {
    std::unique_ptr<TDPTls> tls(new TDPTls);
    auto key = identity::MakeKey();
    if (!key || !tls->Use(key.get())) return nullptr;
    return tls;
}

std::optional<proto2::TKeyId> TDPTls::PeerKey(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate) return std::nullopt;
    auto fingerprint = identity::FingerprintOfCertificate(certificate);
    if (!fingerprint) return std::nullopt;
    return fingerprint->Bytes;
}

} // namespace dplay
