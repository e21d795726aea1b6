#include "realm-site/catalog.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "blockmap/blockmap.h"
#include "realm/game_path.h"
#include "realm/manifest.h"
#include "support/minisign.h"
#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;

namespace {
constexpr std::string_view kBlockmapLine = "+blockmap ";
}  // namespace

const FileRecord* Catalog::Find(std::string_view path) const {
  auto found = std::lower_bound(files.begin(), files.end(), path,
                                [](const FileRecord& record, std::string_view key) { return record.path < key; });
  return found != files.end() && found->path == path ? &*found : nullptr;
}

const std::string* Catalog::FindBlockmap(std::string_view sha256) const {
  for (const FileRecord& record : files) {
    if (record.blockmap != nullptr && record.sha256 == sha256) return record.blockmap.get();
  }
  return nullptr;
}

namespace {

bool StatFile(const std::string& path, uint64_t* size, int64_t* mtime_ns) {
  struct stat facts {};
  if (stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) return false;
  *size = static_cast<uint64_t>(facts.st_size);
  *mtime_ns = static_cast<int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
  return true;
}

// The file's hash text and, when asked, its block map, from one read.
bool ReadForCatalog(const std::string& path, bool with_map, std::string* hash,
                    std::shared_ptr<const std::string>* map) {
  if (!with_map) return HashFile(path, hash);
  os::File file;
  if (file.OpenRead(path) != os::kOk) return false;
  constexpr uint32_t kPiece = 1048576;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  BlockmapBuilder builder;
  for (;;) {
    uint32_t got = 0;
    if (file.Read(buffer.get(), kPiece, &got) != os::kOk) return false;
    if (got == 0) break;
    if (!builder.Update(buffer.get(), got)) return false;
  }
  Blockmap built;
  if (!builder.Finish(&built, hash)) return false;
  *map = std::make_shared<const std::string>(EncodeBlockmap(built));
  return true;
}

}  // namespace

bool IsInsideFolder(const fs::path& inner, const fs::path& outer) {
  auto a = inner.begin();
  for (auto b = outer.begin(); b != outer.end(); ++b, ++a) {
    if (b->empty()) continue;  // a trailing separator
    if (a == inner.end() || *a != *b) return false;
  }
  return true;
}

bool ScanGameFiles(const std::string& files_dir, std::vector<FileRecord>* files, std::string* error) {
  files->clear();
  std::error_code problem;
  if (!fs::is_directory(files_dir, problem)) {
    *error = files_dir + " is missing or isn't a folder: put the game files there";
    return false;
  }
  const fs::path real_files = fs::canonical(files_dir, problem);
  fs::recursive_directory_iterator walk(files_dir, fs::directory_options::none, problem);
  for (; !problem && walk != fs::recursive_directory_iterator(); walk.increment(problem)) {
    const fs::directory_entry& entry = *walk;
    std::error_code kind_problem;
    if (entry.is_directory(kind_problem) || !entry.is_regular_file(kind_problem)) continue;
    FileRecord record;
    record.disk_path = entry.path().string();
    record.path = entry.path().lexically_relative(files_dir).generic_string();
    if (entry.is_symlink(kind_problem)) {
      // A link out of files/ would publish whatever it points at, realm.json and its token
      // or reports included.
      const fs::path target = fs::canonical(entry.path(), kind_problem);
      if (kind_problem || !IsInsideFolder(target, real_files)) {
        *error = "files/" + record.path + " is a link to " + (kind_problem ? "nothing" : target.string()) +
                 ", outside files/: copy the file in instead";
        return false;
      }
      record.disk_path = target.string();
    }
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
    if (record.blockmap != nullptr) {
      list.back()["blockmap"] = {{"size", record.blockmap->size()}, {"sha256", record.blockmap_sha256}};
    }
  }
  doc["files"] = std::move(list);
  doc["news"] = config.news;
  // Operator texts are checked UTF-8 at load; replace rather than throw on anything odd.
  return doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void HashCache::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  // One line per file: hash, size, time in nanoseconds, then the key to the end of the line;
  // a file's block map follows on a line of its own that older readers pass over.
  Entry* last = nullptr;
  while (std::getline(in, line)) {
    if (line.starts_with(kBlockmapLine)) {
      std::string map;
      if (last != nullptr && Base64Decode(std::string_view(line).substr(kBlockmapLine.size()), &map)) {
        last->blockmap = std::make_shared<const std::string>(std::move(map));
      }
      last = nullptr;
      continue;
    }
    last = nullptr;
    std::istringstream fields(line);
    Entry entry;
    std::string key;
    if (!(fields >> entry.sha256 >> entry.size >> entry.mtime_ns)) continue;
    if (fields.get() != ' ' || !std::getline(fields, key) || key.empty() || !IsHashText(entry.sha256)) continue;
    last = &(entries_[key] = std::move(entry));
  }
  dirty_ = false;
}

bool HashCache::Save(const std::string& path) {
  // Named by process, so two servers on one realm never write into the same temporary file.
  const std::string temporary = path + ".new-" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& [key, entry] : entries_) {
      out << entry.sha256 << ' ' << entry.size << ' ' << entry.mtime_ns << ' ' << key << '\n';
      if (entry.blockmap != nullptr) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(entry.blockmap->data());
        out << kBlockmapLine << Base64Encode({bytes, entry.blockmap->size()}) << '\n';
      }
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
  entries_[key] = Entry{size, mtime_ns, sha256, nullptr};
  dirty_ = true;
}

std::shared_ptr<const std::string> HashCache::Blockmap(const std::string& key) const {
  auto found = entries_.find(key);
  return found == entries_.end() ? nullptr : found->second.blockmap;
}

void HashCache::PutBlockmap(const std::string& key, std::shared_ptr<const std::string> map) {
  auto found = entries_.find(key);
  if (found == entries_.end()) return;
  found->second.blockmap = std::move(map);
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

Site::~Site() { StopWatching(); }

namespace {

// Watches every folder under files/ and launcher/, and the realm folder for those two
// appearing. False when a watch can't be added (too many folders for the system's limit).
bool AddWatches(int inotify, const std::string& root) {
  constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
  if (inotify_add_watch(inotify, root.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    return false;
  }
  for (const char* part : {"/files", "/launcher"}) {
    const std::string top = root + part;
    std::error_code problem;
    if (!fs::is_directory(top, problem)) continue;
    if (inotify_add_watch(inotify, top.c_str(), kChanges) < 0) return false;
    for (fs::recursive_directory_iterator walk(top, problem), end; !problem && walk != end; walk.increment(problem)) {
      std::error_code kind_problem;
      if (walk->is_directory(kind_problem) && !walk->is_symlink(kind_problem) &&
          inotify_add_watch(inotify, walk->path().c_str(), kChanges) < 0) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void Site::StartWatching(std::ostream& log) {
  StopWatching();
  watch_stop_ = false;
  // The watches are in place before this returns, so no change made after it can be missed.
  const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const bool watching = inotify >= 0 && AddWatches(inotify, root_);
  watcher_ = std::thread([this, &log, inotify, watching] { Watch(log, inotify, watching); });
}

void Site::StopWatching() {
  if (!watcher_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(watch_mutex_);
    watch_stop_ = true;
  }
  watch_wake_.notify_all();
  watcher_.join();
}

void Site::RequestRescan() {
  {
    std::lock_guard<std::mutex> guard(watch_mutex_);
    rescan_requested_ = true;
  }
  watch_wake_.notify_all();
}

namespace {

constexpr auto kQuiet = std::chrono::milliseconds(500);      // a copy in progress keeps changing
constexpr auto kLongestWait = std::chrono::seconds(5);       // rescan even if changes never stop
constexpr auto kPollWithoutWatch = std::chrono::seconds(5);  // when inotify can't be had

// True when the events read name something the catalog depends on. In the realm folder
// itself only files/ and launcher/ matter: the hash cache and reports change there all the time.
bool DrainEvents(int inotify, int root_watch) {
  alignas(inotify_event) char buffer[16384];
  bool relevant = false;
  for (;;) {
    const ssize_t got = read(inotify, buffer, sizeof buffer);
    if (got <= 0) return relevant;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const std::string_view name = event->len ? std::string_view(event->name) : std::string_view();
      if (event->wd != root_watch || name == "files" || name == "launcher" || (event->mask & IN_Q_OVERFLOW)) {
        relevant = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace

void Site::Watch(std::ostream& log, int inotify, bool watching) {
  using Clock = std::chrono::steady_clock;
  // The realm folder's own watch is the first one added.
  const int root_watch = 1;
  if (!watching) log << "realm-site: can't watch " << root_ << " for changes; rescanning every 5 s" << std::endl;
  // What changed between the last scan and the watches is caught by one scan right away.
  bool pending = true;
  Clock::time_point first_change = Clock::now() - kQuiet;
  Clock::time_point last_change = first_change;
  Clock::time_point last_scan = Clock::now();
  std::string last_error;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(watch_mutex_);
      if (watch_stop_) break;
      if (rescan_requested_) {
        rescan_requested_ = false;
        if (!pending) first_change = Clock::now();
        pending = true;
        last_change = Clock::now() - kQuiet;
      }
    }
    if (watching) {
      pollfd ready{inotify, POLLIN, 0};
      poll(&ready, 1, 200);
      if (DrainEvents(inotify, root_watch)) {
        if (!pending) first_change = Clock::now();
        pending = true;
        last_change = Clock::now();
      }
    } else {
      std::unique_lock<std::mutex> lock(watch_mutex_);
      watch_wake_.wait_for(lock, std::chrono::milliseconds(200));
      if (Clock::now() - last_scan >= kPollWithoutWatch && !pending) {
        pending = true;
        first_change = last_change = Clock::now() - kQuiet;
      }
    }
    const Clock::time_point now = Clock::now();
    // A signature past half its life is replaced long before a launcher could see it expire.
    if (!pending && signer_ != nullptr && now - last_scan >= kPollWithoutWatch) {
      std::shared_ptr<const Catalog> catalog = Current();
      if (catalog != nullptr && NeedsFreshSignature(*catalog)) {
        pending = true;
        first_change = last_change = now - kQuiet;
      }
    }
    if (!pending || (now - last_change < kQuiet && now - first_change < kLongestWait)) continue;
    pending = false;
    last_scan = now;
    // New folders get their watches before the scan, so a file written into one meanwhile is
    // either in this scan or seen by its watch. Adding an existing watch again is harmless.
    if (watching && !AddWatches(inotify, root_)) {
      watching = false;
      log << "realm-site: too many folders to watch; rescanning every 5 s" << std::endl;
    }
    std::string error;
    if (!Refresh(&error)) {
      if (error != last_error) log << "realm-site: still serving the last good file list: " << error << std::endl;
      last_error = error;
    } else {
      last_error.clear();
    }
  }
  if (inotify >= 0) close(inotify);
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
  // Game files of 4 MiB or more get a block map, made in the pass that hashes them and kept
  // in the cache with the hash, so an unchanged file is never read again for either.
  const bool wants_map = key.starts_with("files/") && record->size >= kBlockmapMinFileSize;
  if (const std::string* cached = cache_.Find(key, record->size, record->mtime_ns)) {
    record->sha256 = *cached;
    record->blockmap = wants_map ? cache_.Blockmap(key) : nullptr;
    if (!wants_map || record->blockmap != nullptr) {
      if (record->blockmap != nullptr) record->blockmap_sha256 = Sha256Text(*record->blockmap);
      return true;
    }
  }
  // A file still being copied in changes under the hash; publishing that hash would make
  // every launcher's download fail, so hash again until size and time hold still.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string hash;
    std::shared_ptr<const std::string> map;
    if (!ReadForCatalog(record->disk_path, wants_map, &hash, &map)) {
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
      record->blockmap = map;
      if (map != nullptr) {
        record->blockmap_sha256 = Sha256Text(*map);
        cache_.PutBlockmap(key, std::move(map));
      }
      return true;
    }
    record->size = size;
    record->mtime_ns = mtime_ns;
  }
  *error = record->disk_path + " keeps changing; wait until it is fully copied";
  return false;
}

void Site::SignWith(std::shared_ptr<const ManifestSigner> signer, uint64_t lifetime) {
  signer_ = std::move(signer);
  signature_lifetime_ = lifetime;
}

bool Site::NeedsFreshSignature(const Catalog& catalog) const {
  return signer_ != nullptr && catalog.signature_expires <= UnixNow() + signature_lifetime_ / 2;
}

bool Site::Sign(Catalog* catalog, std::string* error) {
  if (signer_ == nullptr) return true;
  uint64_t serial = 0;
  if (!NextSerial(root_, &serial, error)) return false;
  const uint64_t expires = UnixNow() + signature_lifetime_;
  std::string signature = signer_->Sign(catalog->manifest, serial, expires);
  if (signature.empty()) {
    *error = "the manifest can't be signed (the signing library failed)";
    return false;
  }
  catalog->manifest_signature = std::move(signature);
  catalog->signature_expires = expires;
  return true;
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
  if (!changed) {
    if (!NeedsFreshSignature(*previous)) return true;
    // The same list, signed again: a new serial and a new expiry for the same bytes.
    auto resigned = std::make_shared<Catalog>(*previous);
    if (!Sign(resigned.get(), error)) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    current_ = std::move(resigned);
    return true;
  }
  next->manifest = BuildManifest(config_, next->files, next->launcher);
  if (next->manifest.size() > kManifestLimit) {
    *error = "the manifest would be " + Decimal(next->manifest.size()) + " bytes, over the launcher's limit of " +
             Decimal(kManifestLimit) +
             " bytes (4 MiB) for it: every launcher would fail with \"the realm sent more "
             "than expected\". Put fewer files in files/ (pack small ones into archives) or use shorter names";
    return false;
  }
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
  if (!Sign(next.get(), error)) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  current_ = std::move(next);
  return true;
}

}  // namespace vantrel::site
