#pragma once
// The decisions of log gathering, as pure functions: which files each group takes, which
// are newest, how UTF-16 reports become UTF-8, and the safe, unique name in the archive.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vantrel {

inline constexpr uint64_t kDailyLogCap = 2097152;
inline constexpr uint64_t kLogCap = 1048576;
inline constexpr uint64_t kWerReportCap = 524288;
inline constexpr uint64_t kDumpSizeLimit = 16777216;
inline constexpr uint64_t kReportLimit = 23068672;
inline constexpr size_t kDailyLogsKept = 3;
inline constexpr size_t kLoaderLogsKept = 2;
inline constexpr size_t kGameLogsKept = 40;
inline constexpr size_t kPluginLogsKept = 20;
inline constexpr size_t kCrashDumpFilesKept = 4;
inline constexpr size_t kWerFoldersKept = 3;
inline constexpr size_t kDumpsKept = 2;
inline constexpr size_t kArchiveNameMax = 150;

// One planned file of a report.
struct ReportSource {
  uint64_t size = 0;
  uint64_t write_time = 0;
  uint64_t cap = 0;
  std::string archive_name;
  std::string path;
  uint8_t is_crash_dump = 0;
  uint8_t is_utf16 = 0;
};

bool IsDailyGameLog(std::string_view name);  // "D2" + six digits + ".txt"
bool IsLoaderLog(std::string_view name);     // "d2loader.log" or "BnetLog.txt"
bool IsOtherGameLog(std::string_view name);  // "*.log" except d2loader.log
bool IsWerReportFolder(std::string_view name);
bool IsWerReportFile(std::string_view name);   // "Report.wer"
bool IsWerDump(std::string_view name);         // .mdmp, .dmp, .hdmp
bool IsCrashDumpsFile(std::string_view name);  // the game's own dumps in CrashDumps

// Orders newest first by write time, keeping the given order among equal times, and keeps
// at most `keep` items.
template <typename T>
void KeepNewest(std::vector<T>* items, size_t keep) {
  std::stable_sort(items->begin(), items->end(), [](const T& a, const T& b) { return a.write_time > b.write_time; });
  if (items->size() > keep) items->resize(keep);
}

// UTF-16LE bytes (with or without FF FE) to UTF-8; unpaired surrogates and an odd last
// byte become U+FFFD.
std::string DecodeUtf16Report(std::string_view bytes);

// Steps 3 and 4 of naming: at most 150 bytes, and every byte a zip reader or Windows could
// choke on replaced by "_" ("/" stays: it separates folders in the archive).
std::string SafeArchiveName(std::string_view anonymized_name);

// Case-insensitive uniqueness within one report: "x", then "x~2", "x~3", ...
class ArchiveNames {
 public:
  std::string Claim(const std::string& safe_name);

 private:
  std::unordered_set<std::string> in_use_;
};

// How many of the last bytes to read. A UTF-16 tail starts on a whole code unit: one byte
// less when the cut would fall inside a unit, or every character after it would be garbled.
inline uint64_t TailCap(const ReportSource& source) {
  if (source.is_utf16 && source.size > source.cap && (source.size - source.cap) % 2 != 0) return source.cap - 1;
  return source.cap;
}

// Whether `content_size` more bytes keep the report within its 22 MiB.
inline bool FitsReport(uint64_t gathered, uint64_t content_size) {
  return gathered <= kReportLimit && content_size <= kReportLimit - gathered;
}

}  // namespace vantrel
