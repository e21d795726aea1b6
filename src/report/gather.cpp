#include "report/gather.h"

#include <memory>
#include <new>
#include <vector>

#include "launcher/jobs.h"
#include "launcher/worker.h"
#include "report/anonymize.h"
#include "report/summary.h"
#include "support/os.h"

namespace vantrel {

uint32_t ReadTail(std::string_view path, uint64_t size, uint64_t cap, std::string* content) {
  content->clear();
  os::File file;
  if (const uint32_t error = file.OpenRead(path)) return error;
  if (size > cap) {
    if (const uint32_t error = file.Seek(size - cap)) return error;
  }
  content->reserve(static_cast<size_t>(size < cap ? size : cap));
  std::unique_ptr<char[]> buffer(new char[kReadPiece]);
  while (content->size() < cap) {
    const uint64_t left = cap - content->size();
    uint32_t got = 0;
    if (const uint32_t error =
            file.Read(buffer.get(), left < kReadPiece ? static_cast<uint32_t>(left) : kReadPiece, &got)) {
      content->clear();
      return error;
    }
    if (got == 0) break;
    content->append(buffer.get(), got);
  }
  return os::kOk;
}

namespace {

struct Candidate {
  std::string name;
  uint64_t size = 0;
  uint64_t write_time = 0;
};

// The files (never subfolders) of a folder; empty when it can't be listed.
std::vector<Candidate> ListFiles(const std::string& folder) {
  std::vector<os::FolderEntry> entries;
  std::vector<Candidate> files;
  if (os::ListFolder(folder, &entries) != os::kOk) return files;
  for (os::FolderEntry& entry : entries) {
    if (!entry.is_folder) files.push_back({std::move(entry.name), entry.size, entry.write_time});
  }
  return files;
}

ReportSource MakeSource(const std::string& folder, const Candidate& file, uint64_t cap, std::string archive_name,
                        bool is_crash_dump, bool is_utf16) {
  ReportSource source;
  source.size = file.size;
  source.write_time = file.write_time;
  source.cap = cap;
  source.archive_name = std::move(archive_name);
  source.path = folder + "\\" + file.name;
  source.is_crash_dump = is_crash_dump ? 1 : 0;
  source.is_utf16 = is_utf16 ? 1 : 0;
  return source;
}

// Groups 1 to 4 and 7: the newest files of one folder that satisfy `rule`.
template <typename Rule>
void TakeNewest(const std::string& folder, const std::vector<Candidate>& listing, Rule rule, size_t keep, uint64_t cap,
                std::string_view archive_prefix, std::vector<ReportSource>* sources) {
  try {
    std::vector<Candidate> kept;
    for (const Candidate& file : listing) {
      if (rule(file.name)) kept.push_back(file);
    }
    KeepNewest(&kept, keep);
    for (const Candidate& file : kept) {
      sources->push_back(MakeSource(folder, file, cap, std::string(archive_prefix) + file.name, false, false));
    }
  } catch (const std::bad_alloc&) {
  }
}

struct WerFolder {
  std::string path;
  std::string name;
  uint64_t write_time = 0;
};

// The newest three WER report folders of the game across the user's and the machine's roots.
std::vector<WerFolder> ChooseWerFolders(const std::string& local_app_data, const std::string& program_data) {
  std::vector<std::string> roots;
  for (const std::string* base : {&local_app_data, &program_data}) {
    if (base->empty()) continue;
    roots.push_back(*base + "\\Microsoft\\Windows\\WER\\ReportArchive");
    roots.push_back(*base + "\\Microsoft\\Windows\\WER\\ReportQueue");
  }
  std::vector<WerFolder> folders;
  for (const std::string& root : roots) {
    std::vector<os::FolderEntry> entries;
    if (os::ListFolder(root, &entries) != os::kOk) continue;
    for (const os::FolderEntry& entry : entries) {
      if (entry.is_folder && IsWerReportFolder(entry.name)) {
        folders.push_back({root + "\\" + entry.name, entry.name, entry.write_time});
      }
    }
  }
  KeepNewest(&folders, kWerFoldersKept);
  return folders;
}

// Every source in report order: game logs, plugin logs, WER reports, then the two newest dumps.
std::vector<ReportSource> PlanSources(const std::string& game_folder) {
  std::vector<ReportSource> sources;
  if (!game_folder.empty()) {
    const std::vector<Candidate> game = ListFiles(game_folder);
    TakeNewest(game_folder, game, IsDailyGameLog, kDailyLogsKept, kDailyLogCap, "game/", &sources);
    TakeNewest(game_folder, game, IsLoaderLog, kLoaderLogsKept, kDailyLogCap, "game/", &sources);
    TakeNewest(game_folder, game, IsOtherGameLog, kGameLogsKept, kLogCap, "game/", &sources);
    const std::string plugin_folder = game_folder + "\\plugin";
    TakeNewest(plugin_folder, ListFiles(plugin_folder), IsOtherGameLog, kPluginLogsKept, kLogCap, "game/plugin/",
               &sources);
  }
  std::string local_app_data;
  std::string program_data;
  if (!os::GetEnv("LOCALAPPDATA", &local_app_data)) local_app_data.clear();
  if (!os::GetEnv("ProgramData", &program_data)) program_data.clear();

  std::vector<ReportSource> dumps;
  try {
    for (const WerFolder& folder : ChooseWerFolders(local_app_data, program_data)) {
      const std::string prefix = "crash/" + folder.name + "/";
      for (const Candidate& file : ListFiles(folder.path)) {
        if (IsWerReportFile(file.name)) {
          sources.push_back(MakeSource(folder.path, file, kWerReportCap, prefix + file.name, false, true));
        } else if (IsWerDump(file.name) && file.size <= kDumpSizeLimit) {
          dumps.push_back(MakeSource(folder.path, file, file.size, prefix + file.name, true, false));
        }
      }
    }
  } catch (const std::bad_alloc&) {
  }
  if (!local_app_data.empty()) {
    try {
      const std::string crash_dumps = local_app_data + "\\CrashDumps";
      std::vector<ReportSource> found;
      TakeNewest(crash_dumps, ListFiles(crash_dumps), IsCrashDumpsFile, kCrashDumpFilesKept, 0, "crash/", &found);
      for (ReportSource& dump : found) {
        if (dump.size > kDumpSizeLimit) continue;
        dump.cap = dump.size;
        dump.is_crash_dump = 1;
        dumps.push_back(std::move(dump));
      }
    } catch (const std::bad_alloc&) {
    }
  }
  KeepNewest(&dumps, kDumpsKept);
  for (ReportSource& dump : dumps) sources.push_back(std::move(dump));
  return sources;
}

struct Totals {
  uint64_t text_size = 0;
  uint64_t dump_size = 0;
  uint32_t crash_dumps = 0;
};

// Reads, converts, anonymizes, limits and names one source; false when it is dropped.
bool AddSource(const ReportSource& source, const WorkerContext& context, ArchiveNames& names, Totals& totals,
               std::vector<ReportEntry>& entries) {
  std::string content;
  if (ReadTail(source.path, source.size, TailCap(source), &content) != os::kOk) return false;
  if (source.is_utf16) content = DecodeUtf16Report(content);
  if (!source.is_crash_dump) {
    std::string anonymized;
    if (!Anonymize(content, context.computer_names, context.user_names, &anonymized)) return false;
    content = std::move(anonymized);
  }
  if (!FitsReport(totals.text_size + totals.dump_size, content.size())) return false;

  std::string name = source.archive_name;
  if (source.is_utf16) name += ".txt";
  std::string anonymized_name;
  if (!Anonymize(name, context.computer_names, context.user_names, &anonymized_name)) return false;
  ReportEntry entry;
  entry.name = names.Claim(SafeArchiveName(anonymized_name));
  entry.content = std::move(content);
  entry.is_crash_dump = source.is_crash_dump;
  if (entry.is_crash_dump) {
    totals.dump_size += entry.content.size();
    ++totals.crash_dumps;
  } else {
    totals.text_size += entry.content.size();
  }
  entries.push_back(std::move(entry));
  return true;
}

}  // namespace

void RunGathering(WorkerContext& context) {
  StatusNotice(context, "Gathering logs", "", -1.0f);
  const std::string game_folder = CopyGameFolder(*context.state);

  auto arena = std::make_unique<ReportArena>();
  std::vector<ReportEntry>& entries = arena->entries;
  Totals totals;
  std::vector<ReportSource> sources;
  try {
    sources = PlanSources(game_folder);
  } catch (const std::bad_alloc&) {
    sources.clear();
  }
  ArchiveNames names;
  for (const ReportSource& source : sources) {
    try {
      AddSource(source, context, names, totals, entries);
    } catch (const std::bad_alloc&) {
    }
  }
  std::vector<ReportSource>().swap(sources);

  // The summary always closes the report: unanonymized if the Anonymizer fails, empty if
  // even building it fails.
  ReportEntry summary;
  summary.name = "launcher.txt";
  summary.content = BuildReportSummary(context, game_folder, static_cast<uint32_t>(entries.size()));
  std::string anonymized;
  if (Anonymize(summary.content, context.computer_names, context.user_names, &anonymized)) {
    summary.content = std::move(anonymized);
  }
  totals.text_size += summary.content.size();
  entries.push_back(std::move(summary));

  LauncherState& state = *context.state;
  {
    os::LockGuard guard(state.lock);
    state.report_entries = entries.data();
    state.report_entry_count = static_cast<uint32_t>(entries.size());
    state.report_text_size = totals.text_size;
    state.report_dump_size = totals.dump_size;
    state.crash_dump_count = totals.crash_dumps;
    state.include_crash_dumps = true;
    state.page = Page::kSendLogs;
  }
  // The previous report stayed usable until the new one was published.
  std::unique_ptr<ReportArena> previous = std::move(context.report_arena);
  context.report_arena = std::move(arena);
  previous.reset();

  FinishNotice(context, "Ready to send", "", ReadReady(state));
}

}  // namespace vantrel
