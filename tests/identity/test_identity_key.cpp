// The user's key file, fingerprints and certificates, on real files in a
// temporary folder.
#include "identity/Identity.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using identity::FingerprintOf;
using identity::LoadOrCreateIdentity;
using identity::TFingerprint;
namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string FullOf(EVP_PKEY* key) {
    auto f = FingerprintOf(key);
    return f ? f->Full() : std::string();
}

// Every name in the folder, to see what was left beside the key.
std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

class IdentityFile : public ::testing::Test {
  protected:
    testsupport::TempDir dir_;
    fs::path file_ = dir_ / "cfg" / "identity.pem";
};

TEST_F(IdentityFile, MadeOnceAtFirstUsePrivateFromTheStartAndReadBack) {
    auto first = LoadOrCreateIdentity(file_);
    ASSERT_TRUE(first.Key) << first.Error;
    EXPECT_TRUE(first.Created);
    EXPECT_TRUE(first.SetAside.empty());
    EXPECT_EQ(first.Message(), "");
    EXPECT_EQ(ModeOf(file_), 0600u);
    EXPECT_EQ(ModeOf(file_.parent_path()), 0700u); // the folder it made holds a secret
    EXPECT_EQ(Names(file_.parent_path()), (std::set<std::string>{"identity.pem", "identity.pem.lock"}));

    auto again = LoadOrCreateIdentity(file_);
    ASSERT_TRUE(again.Key) << again.Error;
    EXPECT_FALSE(again.Created);
    EXPECT_EQ(FullOf(again.Key.get()), FullOf(first.Key.get()));
    EXPECT_EQ(EVP_PKEY_eq(again.Key.get(), first.Key.get()), 1); // the private half too
}

TEST_F(IdentityFile, KeyReadableByOthersIsMadePrivate) {
    auto first = LoadOrCreateIdentity(file_);
    ASSERT_TRUE(first.Key);
    for (mode_t wide : {0644, 0640, 0604}) {
        ASSERT_EQ(::chmod(file_.c_str(), wide), 0);
        auto again = LoadOrCreateIdentity(file_);
        ASSERT_TRUE(again.Key);
        EXPECT_FALSE(again.Created);
        EXPECT_EQ(FullOf(again.Key.get()), FullOf(first.Key.get()));
        EXPECT_EQ(ModeOf(file_), 0600u) << std::oct << wide;
    }
}

std::string ValidPem() { return identity::KeyToPem(identity::MakeKey().get()); }

std::string OtherKindPem() {
    identity::TKey ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return identity::KeyToPem(ec.get());
}

// Files that are not a key of ours: each is kept, byte for byte, beside a
// new key, and the caller is told.
TEST_F(IdentityFile, FileThatIsNotAKeyIsMovedAsideAndReplaced) {
    std::string pem = ValidPem();
    std::string huge = pem.substr(0, pem.size() - 30) + std::string(identity::kMaxKeyFileBytes, 'A');
    const std::pair<const char*, std::string> cases[] = {
        {"garbage", "\x01\x02 not a key at all \xff\n"},
        {"empty", ""},
        {"truncated", pem.substr(0, pem.size() / 2)},
        {"huge", huge},
        {"valid key followed by too much", pem + std::string(identity::kMaxKeyFileBytes, '\n')},
        {"another kind of key", OtherKindPem()},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        testsupport::TempDir dir;
        fs::path file = dir / "identity.pem";
        WriteFile(file, bytes);
        auto id = LoadOrCreateIdentity(file);
        ASSERT_TRUE(id.Key) << id.Error;
        EXPECT_TRUE(id.Created);
        ASSERT_FALSE(id.SetAside.empty());
        EXPECT_EQ(id.SetAside.parent_path(), dir.Path());
        EXPECT_TRUE(id.SetAside.filename().string().starts_with("identity.pem.bad-"));
        EXPECT_EQ(testsupport::ReadWholeFile(id.SetAside), bytes);
        EXPECT_NE(id.Message().find(id.SetAside.string()), std::string::npos);
        EXPECT_NE(id.English().find(id.SetAside.string()), std::string::npos);
        auto again = LoadOrCreateIdentity(file);
        ASSERT_TRUE(again.Key);
        EXPECT_FALSE(again.Created);
        EXPECT_TRUE(again.SetAside.empty());
        EXPECT_EQ(FullOf(again.Key.get()), FullOf(id.Key.get()));
    }
}

TEST_F(IdentityFile, LinkInPlaceOfTheKeyIsMovedAsideNotFollowed) {
    testsupport::TempDir dir;
    fs::path target = dir / "elsewhere.pem";
    std::string theirs = ValidPem();
    WriteFile(target, theirs);
    fs::path file = dir / "identity.pem";
    fs::create_symlink(target, file);
    auto id = LoadOrCreateIdentity(file);
    ASSERT_TRUE(id.Key) << id.Error;
    EXPECT_TRUE(id.Created);
    EXPECT_TRUE(fs::is_symlink(id.SetAside));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(testsupport::ReadWholeFile(target), theirs);
}

TEST_F(IdentityFile, SetAsideNeverOverwritesAnEarlierOne) {
    fs::create_directories(file_.parent_path());
    std::set<fs::path> aside;
    for (int i = 0; i < 3; ++i) {
        WriteFile(file_, "damaged " + std::to_string(i));
        auto id = LoadOrCreateIdentity(file_);
        ASSERT_TRUE(id.Key);
        aside.insert(id.SetAside);
        EXPECT_EQ(testsupport::ReadWholeFile(id.SetAside), "damaged " + std::to_string(i));
    }
    EXPECT_EQ(aside.size(), 3u); // all within a second: each still has its own name
}

TEST_F(IdentityFile, ReportsAFolderItCannotWrite) {
    testsupport::TempDir dir;
    fs::path file = dir / "no-such" / "deeper";
    WriteFile(dir / "no-such", "a file where a folder should be");
    auto id = LoadOrCreateIdentity(file / "identity.pem");
    EXPECT_FALSE(id.Key);
    EXPECT_FALSE(id.Error.empty());
    EXPECT_FALSE(id.Message().empty());
}

// Processes started at once, with no file yet or with a damaged one, all end
// with the one key left in the file.
void StartTogether(const fs::path& file, int processes, std::set<std::string>& keys) {
    int go[2], results[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(results), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char c;
            (void)!::read(go[0], &c, 1); // returns when the parent closes its end
            auto id = LoadOrCreateIdentity(file);
            std::string line = (id.Key ? FullOf(id.Key.get()) : "error " + id.Error) + "\n";
            (void)!::write(results[1], line.data(), line.size());
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ::close(results[1]);
    ::close(go[1]); // all start
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(results[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    ::close(results[0]);
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    size_t lines = 0;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
        keys.insert(out.substr(at, end - at));
    EXPECT_EQ(lines, size_t(processes));
}

TEST_F(IdentityFile, ProcessesStartingAtOnceShareOneKey) {
    for (int round = 0; round < 5; ++round) {
        testsupport::TempDir dir;
        fs::path file = dir / "identity.pem";
        std::set<std::string> keys;
        StartTogether(file, 6, keys);
        ASSERT_EQ(keys.size(), 1u) << "round " << round;
        auto now = LoadOrCreateIdentity(file);
        EXPECT_EQ(FullOf(now.Key.get()), *keys.begin());
        EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"identity.pem", "identity.pem.lock"}));
    }
}

TEST_F(IdentityFile, ProcessesFindingADamagedFileShareOneKeyAndSetItAsideOnce) {
    for (int round = 0; round < 5; ++round) {
        testsupport::TempDir dir;
        fs::path file = dir / "identity.pem";
        WriteFile(file, "damaged");
        std::set<std::string> keys;
        StartTogether(file, 6, keys);
        ASSERT_EQ(keys.size(), 1u) << "round " << round;
        auto now = LoadOrCreateIdentity(file);
        EXPECT_EQ(FullOf(now.Key.get()), *keys.begin());
        auto names = Names(dir.Path());
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string& n) { return n.starts_with("identity.pem.bad-"); }),
                  1) << "set aside once";
        EXPECT_EQ(names.size(), 3u); // the key, its lock, the damaged file
    }
}

TEST(Fingerprint, IsTheSha256OfTheSubjectPublicKeyInfo) {
    // The public key of RFC 8032's first Ed25519 test vector.
    const unsigned char pub[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                                   0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                                   0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
    identity::TKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, sizeof pub));
    ASSERT_TRUE(key);
    auto f = FingerprintOf(key.get());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Full(), "06:E3:FD:8F:DA:29:BB:60:AB:59:55:7D:E6:1E:DB:0A:EC:DB:23:11:34:BE:30:"
                         "E7:5B:45:5F:8E:1B:79:2F:A9");
    EXPECT_EQ(f->Short(), "06E3 FD8F DA29 BB60");
}

TEST(Fingerprint, StableForAKeyDifferentBetweenKeysAndReadBackFromItsFullForm) {
    auto a = identity::MakeKey(), b = identity::MakeKey();
    ASSERT_TRUE(a && b);
    auto fa = FingerprintOf(a.get()), fb = FingerprintOf(b.get());
    ASSERT_TRUE(fa && fb);
    EXPECT_NE(*fa, *fb);
    EXPECT_NE(fa->Short(), fb->Short());
    auto reread = identity::KeyFromPem(identity::KeyToPem(a.get()));
    ASSERT_TRUE(reread);
    EXPECT_EQ(FingerprintOf(reread.get()), fa);

    EXPECT_TRUE(std::regex_match(fa->Full(), std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}")));
    EXPECT_TRUE(std::regex_match(fa->Short(), std::regex("[0-9A-F]{4}( [0-9A-F]{4}){3}")));
    std::string firstEight = fa->Full().substr(0, 23);
    std::erase(firstEight, ':');
    std::string shortNoBlanks = fa->Short();
    std::erase(shortNoBlanks, ' ');
    EXPECT_EQ(shortNoBlanks, firstEight);

    EXPECT_EQ(TFingerprint::FromFull(fa->Full()), fa);
    std::string lower = fa->Full();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(TFingerprint::FromFull(lower), fa);
    std::string full = fa->Full();
    for (std::string bad : {full.substr(1), full + ":", full.substr(0, 94) + "G",
                            full.substr(0, 2) + "-" + full.substr(3), std::string(), fa->Short()})
        EXPECT_FALSE(TFingerprint::FromFull(bad)) << bad;
}

TEST(KeyText, OnlyAnEd25519PrivateKeyIsTaken) {
    auto key = identity::MakeKey();
    EXPECT_TRUE(identity::KeyFromPem(identity::KeyToPem(key.get())));
    EXPECT_FALSE(identity::KeyFromPem(OtherKindPem()));
    EXPECT_FALSE(identity::KeyFromPem(""));
    // The public half alone is no identity.
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key.get());
    char* data = nullptr;
    std::string pub(data, size_t(BIO_get_mem_data(bio, &data)));
    BIO_free(bio);
    EXPECT_FALSE(identity::KeyFromPem(pub));
}

TEST(Certificate, CarriesTheKeyAndIsSignedByIt) {
    auto key = identity::MakeKey(), other = identity::MakeKey();
    auto cert = identity::MakeSelfSignedCertificate(key.get());
    ASSERT_TRUE(cert);
    EXPECT_EQ(identity::FingerprintOfCertificate(cert.get()), FingerprintOf(key.get()));
    EXPECT_EQ(X509_verify(cert.get(), key.get()), 1);
    EXPECT_NE(X509_verify(cert.get(), other.get()), 1);
    EXPECT_EQ(X509_check_issued(cert.get(), cert.get()), X509_V_OK); // self-signed
    EXPECT_EQ(X509_get_version(cert.get()), X509_VERSION_3);
    EXPECT_LT(X509_cmp_current_time(X509_get0_notBefore(cert.get())), 0);
    EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(cert.get())), 0);

    // As a peer receives it: DER on the wire.
    unsigned char* der = nullptr;
    int n = i2d_X509(cert.get(), &der);
    ASSERT_GT(n, 0);
    const unsigned char* p = der;
    identity::TCertificate received(d2i_X509(nullptr, &p, n));
    OPENSSL_free(der);
    ASSERT_TRUE(received);
    EXPECT_EQ(identity::FingerprintOfCertificate(received.get()), FingerprintOf(key.get()));

    auto second = identity::MakeSelfSignedCertificate(key.get());
    EXPECT_NE(ASN1_INTEGER_cmp(X509_get0_serialNumber(cert.get()),
                               X509_get0_serialNumber(second.get())),
              0);
    EXPECT_FALSE(identity::FingerprintOfCertificate(nullptr));
    EXPECT_FALSE(identity::MakeSelfSignedCertificate(nullptr));
}

} // namespace
