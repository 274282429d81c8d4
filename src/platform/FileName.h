#pragma once
// The edge between the program's file names and the file system's. Paths in
// the settings and the dialogs are CP932 text like every other text of the
// program; the file system names files in the locale's encoding, UTF-8 on
// every current desktop (and the one Qt assumes for file names).
#include "AnsiString.h"

#include <filesystem>

namespace platform {

// The file a CP932 path names.
std::filesystem::path FileSystemPath(const AnsiString& cp932Path);

// The CP932 text of a file system path in `text`. False when the path holds
// a character CP932 cannot write (or bytes that are no UTF-8): `text` then
// has "?" in its place and names some other file.
bool Cp932PathText(const std::filesystem::path& path, AnsiString& text);

} // namespace platform
