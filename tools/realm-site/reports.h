#pragma once
// Log reports sent by launchers: streamed to disk under DIR/reports/<id> with the sender's
// account and note, shown to whoever holds the private link, listed only with the operator's
// token. Uploads are limited per address and by a store quota, so reports can't fill the disk.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "realm-site/realm_config.h"
#include "realm-site/serving.h"

namespace vantrel::site {

inline constexpr uint64_t kMaxReportUpload = 67108864;  // 64 MiB
inline constexpr unsigned kReportsPerAddress = 10;      // per kReportWindow
inline constexpr std::chrono::seconds kReportWindow{600};
inline constexpr unsigned kTokenFailuresPerAddress = 10;  // per kReportWindow, then 429

struct ZipEntryInfo {
  std::string name;
  uint16_t method = 0;
  uint32_t stored_size = 0;
  uint32_t size = 0;
};

// Reads a zip archive's central directory, checking every record against the archive's
// bounds and its local header. False when the bytes are not a zip archive.
bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntryInfo>* entries);
// The same from an open file, reading only the end record, the directory and the local
// headers: a 64 MiB report costs a few KiB of memory to list.
bool ReadZipDirectoryFromFile(int fd, uint64_t size, std::vector<ZipEntryInfo>* entries);

// 32 lowercase hex digits from the OS generator (128 bits); empty when it fails.
std::string NewReportId();

// Counts events per key (a client address) over a sliding window. Memory is bounded: past
// `max_keys` addresses, those with no event inside the window are forgotten first.
class RateWindow {
 public:
  RateWindow(unsigned limit, std::chrono::seconds window, size_t max_keys = 65536);
  // Records an event for `key` unless it already had `limit` in the window.
  bool Admit(const std::string& key);
  bool Over(const std::string& key);
  void Record(const std::string& key);

 private:
  using Clock = std::chrono::steady_clock;
  void Forget(Clock::time_point now);
  unsigned limit_;
  std::chrono::seconds window_;
  size_t max_keys_;
  std::mutex mutex_;
  std::map<std::string, std::deque<Clock::time_point>> events_;
};

class ReportIndex;
class Webhook;

class Reports {
 public:
  Reports(std::string root, const RealmConfig& config);
  ~Reports();
  // Makes the store's folders, clears uploads a crash left half-written, counts what the
  // store holds and opens the index (rebuilding it, with a message, when missing or damaged).
  bool Open(std::string* error);
  // POST /api/launcher/logs, the report pages, downloads and the operator's list.
  void AddRoutes(HttpServer& server);
  uint64_t stored_bytes();

  // For the upload in progress (reports.cpp).
  bool Reserve(uint64_t bytes);
  void Settle(uint64_t reserved, uint64_t kept);
  // Indexes a report just kept and sends the messages it calls for.
  void Index(const std::string& id);
  const std::string& folder() const { return folder_; }
  const RealmConfig& config() const { return config_; }
  bool tls = false;  // links start with https://

 private:
  uint64_t CountStore();
  // The console's token check: false with the refusal (403, 429 or 401) to send.
  bool OperatorAllowed(const Request& request, Answer* refusal);

  std::string root_;
  std::string folder_;
  std::string incoming_;  // uploads in progress, beside the store so it holds only reports
  RealmConfig config_;
  std::mutex mutex_;
  uint64_t stored_ = 0;
  uint64_t reserved_ = 0;
  std::chrono::steady_clock::time_point last_count_;
  RateWindow uploads_{kReportsPerAddress, kReportWindow};
  RateWindow token_failures_{kTokenFailuresPerAddress, kReportWindow};
  std::unique_ptr<ReportIndex> index_;
  std::unique_ptr<Webhook> webhook_;
};

// Removes the reports received more than `days` days ago.
bool PruneReports(const std::string& root, double days, uint64_t* removed, uint64_t* freed, std::string* error);

}  // namespace vantrel::site
