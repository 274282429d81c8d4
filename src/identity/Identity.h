#pragma once
// The user's key pair, made at first use and kept beside the settings
// (identity.pem in the settings folder), readable by the user alone.
//
// A file there that is not a key (damaged, truncated, too large, another
// kind of key) is never overwritten: it is moved aside as
// identity.pem.bad-<UTC time> and a new key is made, and the caller is told
// so the user can be. Processes starting at once end with the same key: the
// work is done under a lock beside the file, and a new key is put in place
// only where none exists.
#include "Keys.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace identity {

// A key file is a few hundred bytes; more is not read.
inline constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct TIdentity {
    TKey Key;          // null exactly when Error is set
    bool Created = false;
    // Set when the file found was not a key: where it was moved.
    std::filesystem::path SetAside;
    std::string Error; // the key could be neither read nor made

    // For the user when a file was set aside or on an error, else "":
    // Japanese (UTF-8) and English (parlora-cli's standard error).
    std::string Message() const;
    std::string English() const;
};

// identity.pem in the settings folder now in force.
std::filesystem::path IdentityFile();

TIdentity LoadOrCreateIdentity(const std::filesystem::path& file);
inline TIdentity LoadOrCreateIdentity() { return LoadOrCreateIdentity(IdentityFile()); }

} // namespace identity
