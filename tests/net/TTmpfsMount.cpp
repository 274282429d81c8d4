#include "TTmpfsMount.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace nettest {
namespace fs = std::filesystem;
namespace {

// Once per thread: a mount namespace of its own whose mounts do not reach
// the machine's.
std::string PrivateMounts() {
    thread_local std::string why = [] {
        if (::unshare(CLONE_NEWNS) != 0)
            return std::string("cannot make a mount namespace: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("cannot make mounts private: ") + std::strerror(errno);
        return std::string();
    }();
    return why;
}

} // namespace

TTmpfsMount::TTmpfsMount(const fs::path& at, size_t bytes) : at_(at) {
    if (::geteuid() != 0) {
        why_ = "not root, so no tmpfs can be mounted";
        return;
    }
    why_ = PrivateMounts();
    if (!why_.empty()) return;
    std::error_code ec;
    fs::create_directories(at_, ec);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (::mount("tmpfs", at_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why_ = std::string("mount failed: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

TTmpfsMount::~TTmpfsMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

void TTmpfsMount::Fill() {
    int fd = ::open((at_ / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::vector<char> block(4096, 'f');
    // Whole blocks, then single bytes, until nothing more fits.
    for (size_t size = block.size(); size > 0; size /= 2)
        while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    ::close(fd);
}

void TTmpfsMount::Free() {
    std::error_code ec;
    fs::remove(at_ / "filler", ec);
}

} // namespace nettest
