#include "sync/file_check.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "launcher/worker.h"
#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"
#include "sync/blockmap_update.h"
#include "sync/partials.h"

namespace vantrel {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Where the walk starts: past a drive ("C:") or a network share ("\\server\share"), which are
// never folders to be made.
size_t WalkStart(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return 2;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t separators = 0;
    for (size_t i = 2; i < path.size(); ++i) {
      if (IsSeparator(path[i]) && ++separators == 2) return i;
    }
    return path.size();
  }
  return 0;
}

constexpr uint32_t kCopyPiece = 1048576;

// Copies `from` to `to` through `buffer` (taken at the first copy of the run) and flushes it;
// true when all of it was written and it is as long as the source.
bool CopyFlushed(std::string_view from, const std::string& to, std::unique_ptr<char[]>& buffer) {
  os::File source, target;
  if (source.OpenRead(from) != os::kOk || target.CreateWrite(to) != os::kOk) return false;
  if (!buffer) buffer.reset(new (std::nothrow) char[kCopyPiece]);
  if (!buffer) return false;
  uint64_t copied = 0;
  for (;;) {
    uint32_t got = 0;
    if (source.Read(buffer.get(), kCopyPiece, &got) != os::kOk) return false;
    if (got == 0) break;
    if (target.Write(buffer.get(), got) != os::kOk) return false;
    copied += got;
  }
  target.Flush();
  return copied == os::GetFileFacts(from).size;
}

void DeleteQuietly(const std::string& path) {
  try {
    os::DeleteFilePath(path);
  } catch (const std::bad_alloc&) {
  }
}

// Removes a ".part" file on every way out that didn't move it into place, running out of memory
// included, so nothing is left beside the game files.
class PartFileGuard {
 public:
  explicit PartFileGuard(const std::string& path) : path_(path) {}
  ~PartFileGuard() {
    if (armed_) DeleteQuietly(path_);
  }
  PartFileGuard(const PartFileGuard&) = delete;
  PartFileGuard& operator=(const PartFileGuard&) = delete;
  void Release() { armed_ = false; }

 private:
  const std::string& path_;
  bool armed_ = true;
};

// The copy is made beside the backup's name and renamed to it only when whole, so a kill or a
// full disk never leaves a part copy that a later run would take for the first one (which
// stays for good). A leftover of an unfinished copy is overwritten here or deleted.
bool KeepBackup(std::string_view game_folder, const ManifestFile& entry, std::string_view full_path,
                KnownFolders& folders, std::unique_ptr<char[]>& buffer) {
  const std::string backup = BackupPath(game_folder, entry.path);
  if (os::GetFileFacts(backup).exists) return true;  // the first copy ever made stays
  std::string failed;
  if (!MakeFolders(FolderPart(backup), &failed, &folders)) return false;
  const std::string copying = PartPath(backup);
  PartFileGuard guard(copying);
  if (!CopyFlushed(full_path, copying, buffer) || os::MoveReplace(copying, backup) != os::kOk) return false;
  guard.Release();
  return true;
}

// Hashes files on a second thread, in the order they are handed over, while the check's own
// thread looks at the next files and sends their notices. Under Wine each of those costs server
// round trips and the debug output's exception; side by side on two cores, the check takes
// about as long as the reading alone. The hasher stays at most kAhead files behind, so the
// notices name files that are being hashed. Without a second thread everything is hashed as it
// is handed over.
class HashAhead {
 public:
  struct Job {
    std::string path;
    std::string hash;
    bool ok = false;
  };

  HashAhead() = default;
  ~HashAhead() { Close(); }
  HashAhead(const HashAhead&) = delete;
  HashAhead& operator=(const HashAhead&) = delete;

  // Hashes `path` (now or later); the job's place is the number of jobs handed before it.
  void Hand(std::string path) {
    if (!started_) {  // a run with nothing to hash starts no thread
      started_ = true;
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
      }
    }
    if (!thread_.joinable()) {
      jobs_.push_back(Job{std::move(path), {}, false});
      jobs_.back().ok = hasher_.Hash(jobs_.back().path, &jobs_.back().hash);
      ++done_;
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (handed_ - done_ >= kAhead) {
      // Wait until half the lead is hashed: one wake for kAhead / 2 files, not one each.
      waiting_for_ = handed_ - kAhead / 2;
      changed_.wait(lock, [this] { return done_ >= waiting_for_ || failure_; });
    }
    jobs_.push_back(Job{std::move(path), {}, false});  // a deque: the jobs in hand stay put
    ++handed_;
    if (idle_) changed_.notify_all();
  }

  // Every job, hashed, in the order handed. Rethrows what the hasher ran into (out of memory).
  std::deque<Job>& Finish() {
    Close();
    if (failure_) std::rethrow_exception(failure_);
    return jobs_;
  }

 private:
  static constexpr size_t kAhead = 64;

  void Close() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void Run() {
    size_t next = 0;
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (next == handed_ && !closed_) {
          idle_ = true;
          changed_.wait(lock, [&] { return next < handed_ || closed_; });
          idle_ = false;
        }
        if (next == handed_ || failure_) return;
        job = &jobs_[next];
      }
      bool ok = false;
      try {
        ok = hasher_.Hash(job->path, &job->hash);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      job->ok = ok;
      done_ = ++next;
      if (failure_ || done_ == waiting_for_) changed_.notify_all();
    }
  }

  FileHasher hasher_;
  std::deque<Job> jobs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t handed_ = 0;
  size_t done_ = 0;
  size_t waiting_for_ = 0;
  bool idle_ = false;
  bool closed_ = false;
  bool started_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace

std::string_view FolderPart(std::string_view path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

bool MakeFolders(std::string_view folder, std::string* failed, KnownFolders* known) {
  if (known != nullptr && known->count(folder) > 0) return true;
  const size_t start = WalkStart(folder);
  for (size_t i = start + 1; i <= folder.size(); ++i) {
    if (i < folder.size() && !IsSeparator(folder[i])) continue;
    const std::string_view prefix = folder.substr(0, i);
    if (IsSeparator(prefix.back())) continue;  // a doubled or trailing separator names no new folder
    if (known != nullptr && known->count(prefix) > 0) continue;
    const os::FileFacts facts = os::GetFileFacts(prefix);
    const uint32_t error = facts.exists ? os::kOk : os::CreateFolder(prefix);
    // A folder made meanwhile by someone else is as good as one made here.
    if ((facts.exists && !facts.is_folder) || (error != os::kOk && error != os::kErrorAlreadyExists)) {
      failed->assign(prefix);
      return false;
    }
    if (known != nullptr) known->emplace(prefix);
  }
  if (known != nullptr) known->emplace(folder);
  return true;
}

bool GamePresent(LauncherState& state) {
  const std::string folder = CopyGameFolder(state);
  std::string program;
  {
    os::LockGuard guard(state.lock);
    program = state.game_program.Copy();
  }
  if (program.empty()) program = "Diablo II.exe";
  if (folder.empty()) return false;
  const os::FileFacts facts = os::GetFileFacts(GameProgramPath(folder, program));
  return facts.exists && !facts.is_folder;
}

DownloadList CheckFiles(WorkerContext& context, std::string_view game_folder, const std::vector<ManifestFile>& files,
                        HashLedger& hashes) {
  // Per entry: current, to download, or waiting for its hash (the job handed at that place).
  enum class Verdict : uint8_t { kCurrent, kDownload, kHashing };
  std::vector<Verdict> verdicts(files.size(), Verdict::kDownload);
  std::vector<os::FileFacts> hashed_facts;
  HashAhead hasher;
  const uint64_t count = files.size();
  for (uint64_t index = 0; index < count; ++index) {
    const ManifestFile& entry = files[index];
    std::string full_path = FullGamePath(game_folder, entry.path);
    const os::FileFacts facts = os::GetFileFacts(full_path);
    if (!facts.exists) continue;
    const auto known = hashes.find(full_path);
    if (known != hashes.end() && known->second.size == facts.size && known->second.write_time == facts.write_time) {
      if (known->second.hash == entry.sha256) verdicts[index] = Verdict::kCurrent;
      continue;
    }
    StatusNotice(context, "Checking your files", CheckingDetail(LastPathComponent(full_path), index + 1, count),
                 static_cast<float>(static_cast<double>(index) / static_cast<double>(count)));
    verdicts[index] = Verdict::kHashing;
    hashed_facts.push_back(facts);
    hasher.Hand(std::move(full_path));
  }
  std::deque<HashAhead::Job>& jobs = hasher.Finish();
  DownloadList list;
  size_t job = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const ManifestFile& entry = files[index];
    if (verdicts[index] == Verdict::kHashing) {
      const HashAhead::Job& hashed = jobs[job];
      const os::FileFacts& facts = hashed_facts[job++];
      if (hashed.ok) {
        RecordHashed(hashes, hashed.path, facts.size, facts.write_time, hashed.hash);
        if (hashed.hash == entry.sha256) continue;
      }
    } else if (verdicts[index] == Verdict::kCurrent) {
      continue;
    }
    list.entries.push_back(entry);
    list.total_size += entry.size;
  }
  return list;
}

namespace {

// What every entry of one download phase shares.
struct DownloadRun {
  WorkerContext& context;
  HttpSession& session;
  std::string_view game_folder;
  Ledgers& ledgers;
  std::vector<std::string> partials;  // kept partials still wanted
  KnownFolders folders;
  std::unique_ptr<char[]> copy_buffer;  // for the player's copies, taken at the first
  uint64_t done = 0;
  uint64_t total = 0;
};

// Folder, the player's copy, the download into the part file, the move into place, the ledgers.
std::optional<RunOutcome> DownloadEntry(DownloadRun& run, const ManifestFile& entry, uint64_t position,
                                        uint64_t count) {
  WorkerContext& context = run.context;
  const std::string full_path = FullGamePath(run.game_folder, entry.path);
  const std::string_view file_name = LastPathComponent(full_path);
  StatusNotice(context, DownloadingHeadline(position, count), file_name, ProgressFraction(run.done, run.total));

  std::string failed;
  if (!MakeFolders(FolderPart(full_path), &failed, &run.folders)) return FolderFailedOutcome(failed);

  // A file the launcher wrote itself is not the player's, so it needs no copy.
  if (run.ledgers.written.count(full_path) == 0 && os::GetFileFacts(full_path).exists &&
      !KeepBackup(run.game_folder, entry, full_path, run.folders, run.copy_buffer)) {
    return BackupFailedOutcome(file_name);
  }

  const std::string part_path = PartPath(full_path);
  LauncherState& state = *context.state;
  const DownloadProgress progress = [&](uint64_t chunk_bytes) {
    run.done += chunk_bytes;
    std::string detail;
    try {
      detail = DownloadProgressDetail(file_name, run.done, run.total);
    } catch (const std::bad_alloc&) {
      // The progress line is a nicety; the download goes on without it.
    }
    {
      os::LockGuard guard(state.lock);
      state.status_detail.Set(detail);
      state.progress = ProgressFraction(run.done, run.total);
    }
    Notify(context);
    return true;
  };
  HttpError error = HttpError::kNone;
  DownloadResume resume;
  try {
    // Whatever bytes an earlier run had of this entry are at the part path from here on, and
    // the resume flag says so. A download that ends early keeps its bytes outside the game
    // folder for the next run.
    resume.continue_destination = PlaceEarlierBytes(context.settings_folder, run.partials, entry, part_path);
    const std::string address = FileAddress(context.realm_address, entry.path);
    // A large file with a block map is built from the bytes at hand; the whole download below
    // runs only when that can't be done, continuing what it left at the part path.
    const BlockmapOutcome by_map = UpdateByBlockmap(run.session, context.realm_address, address, entry, full_path,
                                                    part_path, resume.continue_destination, progress);
    if (!by_map.placed) {
      run.done -= by_map.reported;
      resume.continue_destination = by_map.resume;
      error = Download(run.session, address, part_path, entry.sha256, entry.size, progress, &resume);
      if (resume.kept > 0) KeepPartial(context.settings_folder, entry, part_path);
    }
  } catch (const std::bad_alloc&) {
    DeleteQuietly(part_path);  // whatever the download had written is unverified
    throw;
  }
  if (error != HttpError::kNone) return DownloadFailedOutcome(error, full_path, resume.stopped_at, entry.size);
  PartFileGuard part_guard(part_path);
  if (const uint32_t move_error = os::MoveReplace(part_path, full_path)) {
    return ReplaceFailedOutcome(move_error, full_path);  // the guard deletes the part file
  }
  part_guard.Release();
  // The realm's hash is recorded: the file was verified while it was written.
  const os::FileFacts placed = os::GetFileFacts(full_path);
  if (placed.exists) RecordHashed(run.ledgers.hashes, full_path, placed.size, placed.write_time, entry.sha256);
  RecordWritten(run.ledgers.written, full_path);
  return std::nullopt;
}

}  // namespace

std::optional<RunOutcome> DownloadAll(WorkerContext& context, HttpSession& session, std::string_view game_folder,
                                      const DownloadList& list, Ledgers& ledgers) {
  DownloadRun run{context, session, game_folder, ledgers,        PrunePartials(context.settings_folder, list.entries),
                  {},      nullptr, 0,           list.total_size};
  const uint64_t count = list.entries.size();
  for (uint64_t index = 0; index < count; ++index) {
    std::optional<RunOutcome> failed = DownloadEntry(run, list.entries[index], index + 1, count);
    if (!failed) continue;
    // Entries the run doesn't reach keep what a killed run left of them, outside the game folder.
    for (uint64_t later = index + 1; later < count; ++later) {
      const ManifestFile& entry = list.entries[later];
      ParkLeftPart(context.settings_folder, entry, PartPath(FullGamePath(game_folder, entry.path)));
    }
    return failed;
  }
  return std::nullopt;
}

}  // namespace vantrel
