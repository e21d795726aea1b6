#pragma once
// Helpers shared by the native unit tests: a temporary folder removed at the end of a test.
#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vantrel::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A tiny tmpfs of its own, to make a disk full for real. Needs root (CI and the developers'
// machines run as root); ok() is false elsewhere and the test skips.
class SmallDisk {
 public:
  explicit SmallDisk(size_t bytes) {
    const std::string options = "size=" + std::to_string(bytes);
    ok_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (ok_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  // Fills what is left with a file named "filler".
  void Fill() const {
    std::ofstream out(dir_ / "filler", std::ios::binary);
    std::string block(4096, 'f');
    while (out.write(block.data(), block.size())) {
    }
  }

 private:
  TempDir dir_;
  bool ok_ = false;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace vantrel::testing
