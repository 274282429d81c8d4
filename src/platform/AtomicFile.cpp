#include "AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string WriteFileAtomically(const std::filesystem::path& file, const std::string& data,
                                mode_t mode, TAtomicWrite how, bool* existed) {
    static std::atomic<unsigned> counter{0};
    if (existed) *existed = false;
    std::string tmp =
        file.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) {
        // Left by a process of the same id that died before renaming it.
        ::unlink(tmp.c_str());
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (fd < 0) return tmp + ": " + std::strerror(errno);
    int err = 0;
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && how == TAtomicWrite::Replace && ::rename(tmp.c_str(), file.c_str()) != 0)
        err = errno;
    if (!err && how == TAtomicWrite::CreateOnly) {
        // link() never replaces: it fails with EEXIST when another got there first.
        if (::link(tmp.c_str(), file.c_str()) != 0) err = errno;
        ::unlink(tmp.c_str());
        if (err == EEXIST && existed) *existed = true;
    }
    if (err) {
        ::unlink(tmp.c_str());
        return file.string() + ": " + std::strerror(err);
    }
    int dfd = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

int LockBeside(const std::filesystem::path& file) {
    std::error_code ec;
    // A folder we create holds the FTP password and the user's key: private.
    // One that exists already (the user's choice) keeps its mode.
    if (!file.parent_path().empty() && std::filesystem::create_directories(file.parent_path(), ec))
        ::chmod(file.parent_path().c_str(), 0700);
    std::string lockName = file.string() + ".lock";
    int fd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    while (::flock(fd, LOCK_EX) < 0 && errno == EINTR) {
    }
    return fd;
}

int ReadAtMost(int fd, size_t max, std::string& text) {
    text.assign(max + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            text.clear();
            return errno;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return 0;
}

} // namespace platform
