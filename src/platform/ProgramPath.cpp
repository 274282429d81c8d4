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

std::filesystem::path WritableBesideProgram(const std::string& name) {
    auto dir = ProgramPath().parent_path();
    if (::access(dir.c_str(), W_OK) == 0) return dir / name;
    std::filesystem::path data;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        data = x;
    else
        data = std::filesystem::path(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") /
               ".local" / "share";
    data /= "parlora";
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    return data / name;
}

} // namespace platform
