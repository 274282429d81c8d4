#pragma once
#include <filesystem>
#include <string>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// A file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

} // namespace testsupport
