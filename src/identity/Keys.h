#pragma once
// Keys, certificates and fingerprints through OpenSSL, owned by smart
// pointers so that every error path frees what it made.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/types.h>

namespace identity {

struct TKeyFree {
    void operator()(EVP_PKEY* key) const;
};
struct TCertificateFree {
    void operator()(X509* cert) const;
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
using TCertificate = std::unique_ptr<X509, TCertificateFree>;

// A new Ed25519 key pair; null when OpenSSL cannot make one.
TKey MakeKey();

// The private key in PEM (PKCS #8, unencrypted: the file's mode guards it).
std::string KeyToPem(EVP_PKEY* key);
// An Ed25519 private key from PEM text; null for anything else (another
// kind of key, an encrypted one, a public key alone, garbage). Never asks
// for a pass phrase.
TKey KeyFromPem(std::string_view pem);

// SHA-256 of a public key's DER SubjectPublicKeyInfo: what people compare
// and what the known-hosts store keeps.
struct TFingerprint {
    std::array<uint8_t, 32> Bytes{};

    // "AB:CD:...": all 32 bytes, upper-case hex, colon-separated.
    std::string Full() const;
    // "ABCD EF01 2345 6789": the first 8 bytes in 4 groups, to compare by eye.
    std::string Short() const;
    // The full form back (either case); nullopt for anything else.
    static std::optional<TFingerprint> FromFull(std::string_view text);

    bool operator==(const TFingerprint&) const = default;
};

// nullopt when the key cannot be encoded.
std::optional<TFingerprint> FingerprintOf(EVP_PKEY* key);

// A self-signed X.509 certificate for the key pair, what a TLS server or
// client presents: version 3, a random serial, valid from a day ago for
// a hundred years (the key, not the dates, is what is checked). Null when
// OpenSSL fails.
TCertificate MakeSelfSignedCertificate(EVP_PKEY* key);
// The certificate's public key; null when it carries none OpenSSL reads.
TKey PublicKeyOf(X509* cert);
std::optional<TFingerprint> FingerprintOfCertificate(X509* cert);

} // namespace identity
