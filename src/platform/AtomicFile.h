#pragma once
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace platform {

// Replace: the file is replaced if it exists. CreateOnly: the file is put
// in place only if no file of that name exists, so of two processes making
// the same file at once exactly one wins.
enum class TAtomicWrite { Replace, CreateOnly };

// Writes `file` with `data` so that a crash, a kill or a full disk leaves
// either the old file or the new one whole: a temporary file beside it,
// made with `mode` from the start (O_EXCL, so a stale file of that name
// cannot lend it a wider mode), fsync, rename (or link for CreateOnly), fsync
// of the folder. Returns "" on success, else the error text; under
// CreateOnly `*existed` (when given) tells that the file was already there.
std::string WriteFileAtomically(const std::filesystem::path& file, const std::string& data,
                                mode_t mode, TAtomicWrite how = TAtomicWrite::Replace,
                                bool* existed = nullptr);

// Takes an exclusive lock on "<file>.lock", made beside the file (its folder
// too when missing, then private to the user), waiting for another process
// or thread that holds it. Returns the descriptor to close to release the
// lock, or -1 when the lock file cannot be made.
int LockBeside(const std::filesystem::path& file);

// Reads from `fd` until its end, but at most max + 1 bytes, so that a
// text longer than `max` shows as such without being read whole. Returns 0,
// else the errno of the failed read.
int ReadAtMost(int fd, size_t max, std::string& text);

} // namespace platform
