#pragma once
// The realm folder as the launcher sees it: every file under files/ with its size and SHA-256,
// the optional launcher build, and the manifest built from them. Hashes are kept in a cache
// file keyed by (path, size, modification time) so a restart or a rescan reads only what changed.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "realm-site/realm_config.h"
#include "realm-site/signing.h"

namespace vantrel::site {

inline constexpr const char* kCacheFileName = ".realm-site-cache";
inline constexpr const char* kLauncherFileName = "launcher/VantrelLauncher.exe";

struct FileRecord {
  std::string path;       // relative, "/" separators; under files/ for game files
  std::string disk_path;  // path on this machine (a link's target, resolved)
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  std::string sha256;
  // The block map of a game file of 4 MiB or more, and the map's own hash text.
  std::shared_ptr<const std::string> blockmap;
  std::string blockmap_sha256;
};

struct Catalog {
  std::vector<FileRecord> files;  // sorted by path, byte order
  std::optional<FileRecord> launcher;
  std::string manifest;  // the JSON answer of /api/launcher/manifest, exactly as served
  // The minisign signature of exactly `manifest` when the realm signs, else empty.
  std::string manifest_signature;
  uint64_t signature_expires = 0;  // Unix seconds
  const FileRecord* Find(std::string_view path) const;
  // The block map of the game file with this hash text; null when there is none.
  const std::string* FindBlockmap(std::string_view sha256) const;
};

// The small answers made from one catalog snapshot, served from memory and exported as files
// in this order: the manifest last, so a static tree never names what it doesn't hold yet. An
// empty text is no answer (404), and no file in an export.
struct SnapshotAnswer {
  const char* path;
  const char* content_type;
  std::string Catalog::*text;
};
inline constexpr SnapshotAnswer kSnapshotAnswers[] = {
    {"/api/launcher/manifest.minisig", "text/plain; charset=utf-8", &Catalog::manifest_signature},
    {"/api/launcher/manifest", "application/json", &Catalog::manifest},
};

// Lists every regular file under `files_dir` (stat only). Refuses, naming the file, any path
// the launcher would refuse to write, any two paths that are one file on Windows (they differ
// only in letter case), and a link whose target lies outside `files_dir`.
bool ScanGameFiles(const std::string& files_dir, std::vector<FileRecord>* files, std::string* error);

// True when `inner` is `outer` or lies under it (both absolute and without links).
bool IsInsideFolder(const std::filesystem::path& inner, const std::filesystem::path& outer);

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
  // The block map kept with the entry Put last for `key` (null when none); a Put drops it.
  std::shared_ptr<const std::string> Blockmap(const std::string& key) const;
  void PutBlockmap(const std::string& key, std::shared_ptr<const std::string> map);
  // Drops entries for keys not in `kept` (deleted files must not grow the cache forever).
  void Retain(const std::vector<std::string>& kept);
  bool dirty() const { return dirty_; }

 private:
  struct Entry {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    std::string sha256;
    std::shared_ptr<const std::string> blockmap;
  };
  std::map<std::string, Entry> entries_;
  bool dirty_ = false;
};

// One realm folder being served or exported. Refresh may be called from many threads.
class Site {
 public:
  Site(std::string root, RealmConfig config);
  ~Site();
  // Rescans files/ and the launcher build, hashes what is new or changed, and publishes a new
  // catalog. On failure the previous catalog stays current.
  bool Refresh(std::string* error);
  std::shared_ptr<const Catalog> Current() const;
  const RealmConfig& config() const { return config_; }
  const std::string& root() const { return root_; }
  // Signs every manifest from now on with `signer`, each signature good for `lifetime`
  // seconds; one past half its life is replaced at the next rescan. Call before Refresh.
  void SignWith(std::shared_ptr<const ManifestSigner> signer, uint64_t lifetime);
  // Counts files hashed since start (the tests use it to prove the cache works).
  uint64_t hashed_count() const;

  // Keeps the catalog current while serving, never per request: rescans once files/ or
  // launcher/ have changed and held still for a moment (inotify), or every few seconds where
  // changes can't be watched. A failed rescan is reported on `log`; the last good catalog stays.
  void StartWatching(std::ostream& log);
  void StopWatching();
  // Asks for a rescan soon: a file was seen to differ from what the catalog says.
  void RequestRescan();

 private:
  bool HashRecord(const std::string& key, FileRecord* record, std::string* error);
  bool NeedsFreshSignature(const Catalog& catalog) const;
  bool Sign(Catalog* catalog, std::string* error);
  void Watch(std::ostream& log, int inotify, bool watching);

  std::string root_;
  RealmConfig config_;
  mutable std::mutex mutex_;
  std::mutex refresh_mutex_;
  HashCache cache_;
  std::shared_ptr<const Catalog> current_;
  uint64_t hashed_count_ = 0;
  std::shared_ptr<const ManifestSigner> signer_;
  uint64_t signature_lifetime_ = 0;

  std::thread watcher_;
  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  bool watch_stop_ = false;
  bool rescan_requested_ = false;
};

}  // namespace vantrel::site
