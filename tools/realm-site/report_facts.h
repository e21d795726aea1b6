#pragma once
// What the console knows of one stored report: who sent it and when (meta.json), what the
// launcher said of itself (launcher.txt) and its crash records with their signatures. Archives
// are read with libzip, never more than the caps below per entry.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::site {

inline constexpr uint64_t kTextEntryCap = 262144;    // 256 KiB of any text entry
inline constexpr uint64_t kDumpEntryCap = 16777216;  // the largest dump a launcher sends
inline constexpr size_t kMaxCrashRecords = 32;       // a launcher sends at most five

struct CrashRecord {
  std::string entry;      // the archive name it came from
  std::string signature;  // crash text, hang text or kUnreadableCrash
  std::string group;      // GroupId(signature)
  std::string key;        // what makes a crash sent twice count once
};

struct ReportFacts {
  std::string id;
  int64_t received = 0;  // Unix seconds
  std::string account;
  std::string note;
  std::string file_set;
  std::string launcher;  // 8 hex digits, empty when launcher.txt doesn't name them
  std::string windows;
  std::vector<CrashRecord> records;  // empty: the report belongs to kNoCrashReport
};

// launcher.txt's lines: "Launcher <8 hex> for ...", "Windows ...", "File set: ...".
void ReadLauncherSummary(std::string_view text, ReportFacts* facts);

// A stored archive opened with libzip for reading.
class StoredArchive {
 public:
  StoredArchive() = default;
  ~StoredArchive();
  StoredArchive(const StoredArchive&) = delete;
  StoredArchive& operator=(const StoredArchive&) = delete;
  bool Open(const std::string& path);
  size_t count() const { return names_.size(); }
  const std::string& name(size_t index) const { return names_[index]; }
  uint64_t size(size_t index) const { return sizes_[index]; }
  // At most `cap` bytes of the entry; `cut` tells whether it held more. False when the entry
  // can't be inflated or fails its checks.
  bool Read(size_t index, uint64_t cap, std::string* out, bool* cut) const;

 private:
  void* zip_ = nullptr;
  std::vector<std::string> names_;
  std::vector<uint64_t> sizes_;
};

// 32 lowercase hex digits: the name of a report's folder and its private link.
bool IsReportId(std::string_view id);
bool IsDumpName(std::string_view name);
// Every text entry the page may show inline: not a dump.
inline bool IsTextEntry(std::string_view name) { return !IsDumpName(name); }

// Reads a report folder (meta.json and report.zip). False when meta.json is missing or not
// an object: the report isn't complete. An archive that can't be read gives one
// unreadable crash record.
bool ReadReportFacts(const std::string& folder, const std::string& id, ReportFacts* facts);

// "2026-12-11 13:04:05 UTC" (as meta.json holds it) as Unix seconds; -1 when it isn't.
int64_t ParseReceived(std::string_view text);

}  // namespace vantrel::site
