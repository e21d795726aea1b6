#pragma once
// The realm folder as the launcher sees it: every file under files/ with its size and SHA-256,
// the optional launcher build, and the manifest built from them. Hashes are kept in a cache
// file keyed by (path, size, modification time) so a restart or a rescan reads only what changed.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "realm-site/realm_config.h"

namespace vantrel::site {

inline constexpr const char* kCacheFileName = ".realm-site-cache";
inline constexpr const char* kLauncherFileName = "launcher/VantrelLauncher.exe";

struct FileRecord {
  std::string path;       // relative, "/" separators; under files/ for game files
  std::string disk_path;  // absolute path on this machine
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  std::string sha256;
};

struct Catalog {
  std::vector<FileRecord> files;  // sorted by path, byte order
  std::optional<FileRecord> launcher;
  std::string manifest;  // the JSON answer of /api/launcher/manifest
  const FileRecord* Find(std::string_view path) const;
};

// Lists every regular file under `files_dir` (stat only). Refuses, naming the file, any path
// the launcher would refuse to write and any two paths that are one file on Windows
// (they differ only in letter case).
bool ScanGameFiles(const std::string& files_dir, std::vector<FileRecord>* files, std::string* error);

// The manifest document for a realm and its files.
std::string BuildManifest(const RealmConfig& config, const std::vector<FileRecord>& files,
                          const std::optional<FileRecord>& launcher);

class HashCache {
 public:
  void Load(const std::string& path);
  bool Save(const std::string& path);  // written beside and renamed into place
  // The cached hash when size and time still match.
  const std::string* Find(const std::string& key, uint64_t size, int64_t mtime_ns) const;
  void Put(const std::string& key, uint64_t size, int64_t mtime_ns, const std::string& sha256);
  // Drops entries for keys not in `kept` (deleted files must not grow the cache forever).
  void Retain(const std::vector<std::string>& kept);
  bool dirty() const { return dirty_; }

 private:
  struct Entry {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    std::string sha256;
  };
  std::map<std::string, Entry> entries_;
  bool dirty_ = false;
};

// One realm folder being served or exported. Refresh may be called from many threads.
class Site {
 public:
  Site(std::string root, RealmConfig config);
  // Rescans files/ and the launcher build, hashes what is new or changed, and publishes a new
  // catalog. On failure the previous catalog stays current.
  bool Refresh(std::string* error);
  std::shared_ptr<const Catalog> Current() const;
  const RealmConfig& config() const { return config_; }
  const std::string& root() const { return root_; }
  // Counts files hashed since start (the tests use it to prove the cache works).
  uint64_t hashed_count() const;

 private:
  bool HashRecord(const std::string& key, FileRecord* record, std::string* error);

  std::string root_;
  RealmConfig config_;
  mutable std::mutex mutex_;
  std::mutex refresh_mutex_;
  HashCache cache_;
  std::shared_ptr<const Catalog> current_;
  uint64_t hashed_count_ = 0;
};

}  // namespace vantrel::site
