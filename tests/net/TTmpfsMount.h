#pragma once
// A small tmpfs the test mounts (root only) to give an FTP server a disk
// that can be filled. It lives in a mount namespace of the test's own
// thread, so nothing is left mounted on the machine even when the test dies;
// it is unmounted when the object goes. Servers that are to see it must be
// started after it was mounted.
#include <filesystem>
#include <string>

namespace nettest {

class TTmpfsMount {
  public:
    TTmpfsMount(const std::filesystem::path& at, size_t bytes);
    ~TTmpfsMount();
    TTmpfsMount(const TTmpfsMount&) = delete;
    TTmpfsMount& operator=(const TTmpfsMount&) = delete;

    // Empty when mounted, else why not.
    const std::string& Why() const { return why_; }
    // Fills the disk to the last byte with one file, or removes that file.
    void Fill();
    void Free();

  private:
    std::filesystem::path at_;
    std::string why_;
    bool mounted_ = false;
};

} // namespace nettest
