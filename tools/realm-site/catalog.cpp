#include "realm-site/catalog.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "realm/game_path.h"
#include "realm/manifest.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;

const FileRecord* Catalog::Find(std::string_view path) const {
  auto found = std::lower_bound(files.begin(), files.end(), path,
                                [](const FileRecord& record, std::string_view key) { return record.path < key; });
  return found != files.end() && found->path == path ? &*found : nullptr;
}

namespace {

bool StatFile(const std::string& path, uint64_t* size, int64_t* mtime_ns) {
  struct stat facts {};
  if (stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) return false;
  *size = static_cast<uint64_t>(facts.st_size);
  *mtime_ns = static_cast<int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
  return true;
}

}  // namespace

bool ScanGameFiles(const std::string& files_dir, std::vector<FileRecord>* files, std::string* error) {
  files->clear();
  std::error_code problem;
  if (!fs::is_directory(files_dir, problem)) {
    *error = files_dir + " is missing or isn't a folder: put the game files there";
    return false;
  }
  fs::recursive_directory_iterator walk(files_dir, fs::directory_options::none, problem);
  for (; !problem && walk != fs::recursive_directory_iterator(); walk.increment(problem)) {
    const fs::directory_entry& entry = *walk;
    std::error_code kind_problem;
    if (entry.is_directory(kind_problem) || !entry.is_regular_file(kind_problem)) continue;
    FileRecord record;
    record.disk_path = entry.path().string();
    record.path = entry.path().lexically_relative(files_dir).generic_string();
    if (!StatFile(record.disk_path, &record.size, &record.mtime_ns)) continue;  // vanished meanwhile
    files->push_back(std::move(record));
  }
  if (problem) {
    *error = files_dir + " can't be listed: " + problem.message();
    return false;
  }
  std::sort(files->begin(), files->end(), [](const FileRecord& a, const FileRecord& b) { return a.path < b.path; });
  std::map<std::string, const std::string*> by_lowered;
  for (const FileRecord& record : *files) {
    if (!IsGamePath(record.path)) {
      *error = "files/" + record.path +
               ": the launcher won't write this path (use printable ASCII, no \\ : * ? \" < > |, no part "
               "ending in a space or a dot, no device names such as CON or NUL, at most 200 bytes)";
      return false;
    }
    auto [it, added] = by_lowered.emplace(AsciiLowered(record.path), &record.path);
    if (!added) {
      *error = "files/" + *it->second + " and files/" + record.path +
               " are one file on Windows (they differ only in letter case): keep one";
      return false;
    }
  }
  return true;
}

std::string BuildManifest(const RealmConfig& config, const std::vector<FileRecord>& files,
                          const std::optional<FileRecord>& launcher) {
  nlohmann::ordered_json doc;
  doc["realm"] = config.realm;
  doc["address"] = config.address;
  doc["site"] = config.site;
  doc["revision"] = config.revision;
  doc["start"] = {{"exe", config.exe}, {"args", config.args}};
  if (launcher) {
    doc["launcher"] = {{"sha256", launcher->sha256}, {"size", launcher->size}};
  } else {
    doc["launcher"] = nullptr;
  }
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const FileRecord& record : files) {
    list.push_back({{"path", record.path}, {"sha256", record.sha256}, {"size", record.size}});
  }
  doc["files"] = std::move(list);
  doc["news"] = config.news;
  // Operator texts are checked UTF-8 at load; replace rather than throw on anything odd.
  return doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void HashCache::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  // One line per file: hash, size, time in nanoseconds, then the key to the end of the line.
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Entry entry;
    std::string key;
    if (!(fields >> entry.sha256 >> entry.size >> entry.mtime_ns)) continue;
    if (fields.get() != ' ' || !std::getline(fields, key) || key.empty() || !IsHashText(entry.sha256)) continue;
    entries_[key] = std::move(entry);
  }
  dirty_ = false;
}

bool HashCache::Save(const std::string& path) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& [key, entry] : entries_) {
      out << entry.sha256 << ' ' << entry.size << ' ' << entry.mtime_ns << ' ' << key << '\n';
    }
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code problem;
  fs::rename(temporary, path, problem);
  if (!problem) dirty_ = false;
  return !problem;
}

const std::string* HashCache::Find(const std::string& key, uint64_t size, int64_t mtime_ns) const {
  auto found = entries_.find(key);
  if (found == entries_.end() || found->second.size != size || found->second.mtime_ns != mtime_ns) return nullptr;
  return &found->second.sha256;
}

void HashCache::Put(const std::string& key, uint64_t size, int64_t mtime_ns, const std::string& sha256) {
  entries_[key] = Entry{size, mtime_ns, sha256};
  dirty_ = true;
}

void HashCache::Retain(const std::vector<std::string>& kept) {
  std::map<std::string, Entry> retained;
  for (const std::string& key : kept) {
    auto found = entries_.find(key);
    if (found != entries_.end()) retained.emplace(key, std::move(found->second));
  }
  if (retained.size() != entries_.size()) dirty_ = true;
  entries_ = std::move(retained);
}

Site::Site(std::string root, RealmConfig config) : root_(std::move(root)), config_(std::move(config)) {
  cache_.Load(root_ + "/" + kCacheFileName);
}

std::shared_ptr<const Catalog> Site::Current() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return current_;
}

uint64_t Site::hashed_count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return hashed_count_;
}

bool Site::HashRecord(const std::string& key, FileRecord* record, std::string* error) {
  if (const std::string* cached = cache_.Find(key, record->size, record->mtime_ns)) {
    record->sha256 = *cached;
    return true;
  }
  // A file still being copied in changes under the hash; publishing that hash would make
  // every launcher's download fail, so hash again until size and time hold still.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string hash;
    if (!HashFile(record->disk_path, &hash)) {
      *error = record->disk_path + " can't be read";
      return false;
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++hashed_count_;
    }
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    if (!StatFile(record->disk_path, &size, &mtime_ns)) {
      *error = record->disk_path + " disappeared while it was being read";
      return false;
    }
    if (size == record->size && mtime_ns == record->mtime_ns) {
      record->sha256 = std::move(hash);
      cache_.Put(key, size, mtime_ns, record->sha256);
      return true;
    }
    record->size = size;
    record->mtime_ns = mtime_ns;
  }
  *error = record->disk_path + " keeps changing; wait until it is fully copied";
  return false;
}

bool Site::Refresh(std::string* error) {
  std::lock_guard<std::mutex> one_at_a_time(refresh_mutex_);
  auto next = std::make_shared<Catalog>();
  if (!ScanGameFiles(root_ + "/files", &next->files, error)) return false;

  std::vector<std::string> keys;
  keys.reserve(next->files.size() + 1);
  std::shared_ptr<const Catalog> previous = Current();
  bool changed = previous == nullptr || previous->files.size() != next->files.size();
  for (size_t i = 0; i < next->files.size(); ++i) {
    FileRecord& record = next->files[i];
    keys.push_back("files/" + record.path);
    if (!HashRecord(keys.back(), &record, error)) return false;
    if (!changed) {
      const FileRecord& before = previous->files[i];
      changed = before.path != record.path || before.sha256 != record.sha256 || before.size != record.size;
    }
  }

  FileRecord launcher;
  launcher.path = kLauncherFileName;
  launcher.disk_path = root_ + "/" + kLauncherFileName;
  if (StatFile(launcher.disk_path, &launcher.size, &launcher.mtime_ns)) {
    keys.push_back(launcher.path);
    if (!HashRecord(launcher.path, &launcher, error)) return false;
    next->launcher = std::move(launcher);
  }
  if (previous != nullptr && !changed) {
    const auto& before = previous->launcher;
    changed = before.has_value() != next->launcher.has_value() ||
              (before && (before->sha256 != next->launcher->sha256 || before->size != next->launcher->size));
  }

  cache_.Retain(keys);
  // A cache that can't be written only costs hashing time at the next start.
  if (cache_.dirty()) cache_.Save(root_ + "/" + kCacheFileName);
  if (!changed) return true;
  next->manifest = BuildManifest(config_, next->files, next->launcher);
  // The launcher's own reader has the last word: never publish what it would refuse.
  Manifest as_read;
  if (!ParseManifest(next->manifest, &as_read)) {
    *error = "the manifest built from this realm can't be read by the launcher";
    return false;
  }
  if (std::string_view fault = ValidateManifest(as_read); !fault.empty()) {
    *error = "the launcher would refuse this realm: " + std::string(fault);
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  current_ = std::move(next);
  return true;
}

}  // namespace vantrel::site
