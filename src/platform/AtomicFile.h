#pragma once
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace platform {

// Replaces `file` with `data` so that a crash, a kill or a full disk leaves
// either the old file or the new one whole: temporary file beside it, fsync,
// rename, fsync of the folder. Returns "" on success, else the error text.
std::string WriteFileAtomically(const std::filesystem::path& file, const std::string& data,
                                mode_t mode);

} // namespace platform
