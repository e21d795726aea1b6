#pragma once
// The index of stored reports: DIR/reports/index.sqlite (WAL), derived data that can always be
// rebuilt from the report folders. `serve` opens it (rebuilding it when missing or damaged),
// brings it in step with the folders, loads the console's model from it and indexes each
// report as it is kept.
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "realm-site/console_model.h"
#include "realm-site/report_facts.h"

namespace vantrel::site {

inline constexpr const char* kIndexName = "index.sqlite";

struct IndexCounts {
  uint64_t reports = 0;
  uint64_t groups = 0;
};

// Builds `reports_folder`/index.sqlite afresh from the stored reports: written beside, then
// moved over the old one. `progress`, when given, gets a line rewritten as it goes.
bool RebuildIndex(const std::string& reports_folder, std::ostream* progress, IndexCounts* counts, std::string* error);

class ReportIndex {
 public:
  ReportIndex(std::string reports_folder, std::string revision);
  ~ReportIndex();
  ReportIndex(const ReportIndex&) = delete;
  ReportIndex& operator=(const ReportIndex&) = delete;

  // Says on `err` when it rebuilds a missing or damaged index.
  bool Open(std::ostream& err, std::string* error);
  // Indexes a report just kept; returns the messages it calls for.
  std::vector<Alert> Add(const std::string& id, int64_t now);
  void MarkAlerted(const std::string& group, int64_t at);

  GroupsView Groups(const ConsoleFilter& filter, int64_t now) const;
  bool Group(const std::string& id, const ConsoleFilter& filter, int64_t now, GroupView* view) const;
  // The crash records of one report; false when the report isn't indexed.
  bool RecordsOf(const std::string& id, std::vector<CrashRecord>* records) const;
  size_t report_count() const;

 private:
  bool Load(std::string* error);
  bool Sync(std::ostream& err, std::string* error);

  std::string folder_;
  std::string path_;
  void* db_ = nullptr;
  mutable std::mutex db_mutex_;
  mutable std::shared_mutex model_mutex_;
  ConsoleModel model_;
};

}  // namespace vantrel::site
