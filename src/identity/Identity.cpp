#include "Identity.h"

#include "platform/AtomicFile.h"
#include "platform/RegStore.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace identity {
namespace {

// Closes the descriptor when the scope ends (the lock with it).
struct TFd {
    int fd = -1;
    ~TFd() {
        if (fd >= 0) ::close(fd);
    }
};

enum class TRead { Missing, Key, NotAKey, Failed };

// Reads the key file, at most kMaxKeyFileBytes of it. A key readable by
// others is made private on the way.
TRead ReadKey(const std::filesystem::path& file, TKey& key, std::string& error) {
    // O_NOFOLLOW: a link in place of the file is not a key of ours either.
    TFd f{::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0) {
        if (errno == ENOENT) return TRead::Missing;
        if (errno == ELOOP) return TRead::NotAKey;
        error = file.string() + ": " + std::strerror(errno);
        return TRead::Failed;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        error = file.string() + ": " + std::strerror(errno);
        return TRead::Failed;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxKeyFileBytes)
        return TRead::NotAKey;
    std::string text;
    if (int err = platform::ReadAtMost(f.fd, kMaxKeyFileBytes, text)) {
        error = file.string() + ": " + std::strerror(err);
        return TRead::Failed;
    }
    if (text.size() > kMaxKeyFileBytes) return TRead::NotAKey; // grew while being read
    key = KeyFromPem(text);
    OPENSSL_cleanse(text.data(), text.size());
    if (!key) return TRead::NotAKey;
    if ((st.st_mode & 077) != 0) ::fchmod(f.fd, 0600);
    return TRead::Key;
}

// identity.pem.bad-20261210T001500Z, with -2, -3... when that is taken.
std::filesystem::path SetAsideName(const std::filesystem::path& file) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string base = file.string() + ".bad-" + stamp;
    std::filesystem::path name = base;
    for (int i = 2; ::access(name.c_str(), F_OK) == 0 || errno != ENOENT; ++i) {
        if (i > 1000) return {};
        name = base + "-" + std::to_string(i);
    }
    return name;
}

} // namespace

std::filesystem::path IdentityFile() { return platform::RegStore::Directory() / "identity.pem"; }

TIdentity LoadOrCreateIdentity(const std::filesystem::path& file) {
    TIdentity id;
    // Without the lock (a folder we may not write) the steps below still
    // never replace a key: only a missing file is made.
    TFd lock{platform::LockBeside(file)};
    // Another process may put its key in place between our look and our
    // write; then that key is read. Twice is enough: a key once there stays.
    for (int attempt = 0; attempt < 3; ++attempt) {
        TKey key;
        switch (ReadKey(file, key, id.Error)) {
        case TRead::Key:
            id.Key = std::move(key);
            return id;
        case TRead::Failed:
            return id;
        case TRead::NotAKey: {
            std::filesystem::path aside = SetAsideName(file);
            if (aside.empty() || ::rename(file.c_str(), aside.c_str()) != 0) {
                id.Error = file.string() + ": not a key, and it cannot be moved aside: " +
                           std::strerror(aside.empty() ? EEXIST : errno);
                return id;
            }
            id.SetAside = aside;
            break;
        }
        case TRead::Missing:
            break;
        }
        TKey made = MakeKey();
        std::string pem = KeyToPem(made.get());
        if (pem.empty()) {
            id.Error = "cannot make a key pair";
            return id;
        }
        bool existed = false;
        std::string err = platform::WriteFileAtomically(file, pem, 0600,
                                                        platform::TAtomicWrite::CreateOnly, &existed);
        OPENSSL_cleanse(pem.data(), pem.size());
        if (err.empty()) {
            id.Key = std::move(made);
            id.Created = true;
            return id;
        }
        if (!existed) {
            id.Error = err;
            return id;
        }
    }
    id.Error = file.string() + ": keeps changing while being read";
    return id;
}

std::string TIdentity::Message() const {
    if (!Error.empty()) return "鍵を読むことも作ることもできません: " + Error;
    if (!SetAside.empty())
        return "鍵のファイルが壊れていたため、新しい鍵を作りました。古いファイルは " +
               SetAside.string() + " に移しました。" +
               "以前の鍵を知っている相手には、別人のように見えます。";
    return {};
}

std::string TIdentity::English() const {
    if (!Error.empty()) return "cannot read or make the key: " + Error;
    if (!SetAside.empty())
        return "the key file was not a valid key; a new key was made and the old file moved to " +
               SetAside.string() + ". Those who knew the old key will see a new one.";
    return {};
}

} // namespace identity
