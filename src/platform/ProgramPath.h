#pragma once
#include <filesystem>
#include <string>

namespace platform {

// The running program's own file (/proc/self/exe).
std::filesystem::path ProgramPath();

// The program's path with its extension replaced, e.g. ".HLP" or ".ini".
std::filesystem::path ProgramPathWithExt(const std::string& ext);

// PREFIX/share/parlora for a program installed as PREFIX/bin/NAME (the folder
// need not exist; callers test for the file they want in it).
std::filesystem::path InstalledDataDir(const std::filesystem::path& programDir);

// Where the program in `programDir` may keep a file named `name` that
// conventionally sits beside it: beside the program when that folder can be
// written and the program is not installed (no InstalledDataDir), otherwise in
// $XDG_DATA_HOME/parlora (default ~/.local/share/parlora), created on demand.
std::filesystem::path WritableBeside(const std::filesystem::path& programDir,
                                     const std::string& name);
// The same for the running program.
std::filesystem::path WritableBesideProgram(const std::string& name);

} // namespace platform
