#pragma once
// Descriptors a process holds, to show that a flood leaves them bounded.
#include <dirent.h>
#include <string>
#include <sys/types.h>

namespace testsupport {

// pid 0: this process.
inline size_t OpenDescriptors(pid_t pid = 0) {
    const std::string path = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
    size_t n = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (::readdir(dir))
            ++n;
        ::closedir(dir);
    }
    return n;
}

} // namespace testsupport
