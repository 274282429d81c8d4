#pragma once
#include <filesystem>
#include <string>

namespace platform {

// The running program's own file (/proc/self/exe).
std::filesystem::path ProgramPath();

// The program's path with its extension replaced, e.g. ".HLP" or ".ini".
std::filesystem::path ProgramPathWithExt(const std::string& ext);

// Where the program may keep a file named `name` that conventionally sits
// beside it: beside the program when that folder can be written, otherwise in
// $XDG_DATA_HOME/parlora (default ~/.local/share/parlora), created on demand.
std::filesystem::path WritableBesideProgram(const std::string& name);

} // namespace platform
