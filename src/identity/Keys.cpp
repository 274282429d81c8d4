#include "Keys.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>

namespace identity {
namespace {

struct TBioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using TBio = std::unique_ptr<BIO, TBioFree>;

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A key file never holds an encrypted key of ours; refusing the pass phrase
// keeps OpenSSL from asking for one on the terminal.
int NoPassphrase(char*, int, int, void*) { return -1; }

} // namespace

void TKeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
void TCertificateFree::operator()(X509* cert) const { X509_free(cert); }

TKey MakeKey() { return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

std::string KeyToPem(EVP_PKEY* key) {
    TBio bio(BIO_new(BIO_s_mem()));
    if (!bio || !key ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

TKey KeyFromPem(std::string_view pem) {
    if (pem.empty() || pem.size() > INT_MAX) return nullptr;
    TBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    TKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    if (!key || !EVP_PKEY_is_a(key.get(), "ED25519")) return nullptr;
    return key;
}

std::string TFingerprint::Full() const {
    std::string s;
    s.reserve(Bytes.size() * 3);
    for (size_t i = 0; i < Bytes.size(); ++i) {
        if (i) s += ':';
        s += kHex[Bytes[i] >> 4];
        s += kHex[Bytes[i] & 15];
    }
    return s;
}

std::string TFingerprint::Short() const {
    std::string s;
    for (size_t i = 0; i < 8; ++i) {
        if (i && i % 2 == 0) s += ' ';
        s += kHex[Bytes[i] >> 4];
        s += kHex[Bytes[i] & 15];
    }
    return s;
}

std::optional<TFingerprint> TFingerprint::FromFull(std::string_view text) {
    TFingerprint f;
    if (text.size() != f.Bytes.size() * 3 - 1) return std::nullopt;
    for (size_t i = 0; i < f.Bytes.size(); ++i) {
        if (i && text[i * 3 - 1] != ':') return std::nullopt;
        int hi = HexValue(text[i * 3]), lo = HexValue(text[i * 3 + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        f.Bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return f;
}

std::optional<TFingerprint> FingerprintOf(EVP_PKEY* key) {
    if (!key) return std::nullopt;
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    if (n <= 0) return std::nullopt;
    TFingerprint f;
    unsigned int len = 0;
    bool ok = EVP_Digest(der, static_cast<size_t>(n), f.Bytes.data(), &len, EVP_sha256(),
                         nullptr) == 1 &&
              len == f.Bytes.size();
    OPENSSL_free(der);
    if (!ok) return std::nullopt;
    return f;
}

TCertificate MakeSelfSignedCertificate(EVP_PKEY* key) {
    if (!key) return nullptr;
    TCertificate cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) return nullptr;
    // A random positive serial, so two certificates of one key still differ.
    BIGNUM* serial = BN_new();
    bool ok = serial && BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(serial);
    if (!ok) return nullptr;
    constexpr long kDay = 24 * 60 * 60;
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 100 * 365, 0, nullptr))
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Parlora"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    // Ed25519 signs the message itself: no separate digest.
    if (X509_sign(cert.get(), key, nullptr) <= 0) return nullptr;
    return cert;
}

TKey PublicKeyOf(X509* cert) { return TKey(cert ? X509_get_pubkey(cert) : nullptr); }

std::optional<TFingerprint> FingerprintOfCertificate(X509* cert) {
    TKey key = PublicKeyOf(cert);
    return FingerprintOf(key.get());
}

} // namespace identity
