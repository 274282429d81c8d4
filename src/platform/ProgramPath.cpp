#include "ProgramPath.h"

#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace platform {

std::filesystem::path ProgramPath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("parlora") : p;
}

std::filesystem::path ProgramPathWithExt(const std::string& ext) {
    auto p = ProgramPath();
    p.replace_extension(ext);
    return p;
}

std::filesystem::path InstalledDataDir(const std::filesystem::path& programDir) {
    return programDir.parent_path() / "share" / "parlora";
}

std::filesystem::path WritableBeside(const std::filesystem::path& programDir,
                                     const std::string& name) {
    // An installed program never writes into its bin folder, even where it
    // could (run by root, or installed into the user's own prefix).
    std::error_code ec;
    const bool installed = std::filesystem::is_directory(InstalledDataDir(programDir), ec);
    if (!installed && ::access(programDir.c_str(), W_OK) == 0) return programDir / name;
    std::filesystem::path data;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        data = x;
    else
        data = std::filesystem::path(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") /
               ".local" / "share";
    data /= "parlora";
    std::filesystem::create_directories(data, ec);
    return data / name;
}

std::filesystem::path WritableBesideProgram(const std::string& name) {
    return WritableBeside(ProgramPath().parent_path(), name);
}

} // namespace platform
