#pragma once
// The console's view of every indexed report, held compactly in memory so that each page is
// one pass over it: groups with their counts (a crash sent again counts once), per-day
// series, filters and search. Fed from the index at start and by each upload.
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "realm-site/report_facts.h"

namespace vantrel::site {

inline constexpr size_t kChartDays = 30;
inline constexpr size_t kPageSize = 50;
inline constexpr size_t kChartGroups = 6;  // the top groups drawn in their own colours

struct ConsoleFilter {
  std::string file_set;  // empty: any
  std::string launcher;  // empty: any
  uint32_t days = 0;     // 0: any time
  std::string query;     // case-insensitive substring of signature, account or note
  size_t page = 1;
};

using DaySeries = std::array<uint32_t, kChartDays>;  // oldest first, today last

struct GroupSummary {
  std::string id;
  std::string signature;
  uint64_t crashes = 0;
  uint64_t reports = 0;
  uint64_t accounts = 0;
  uint64_t crashes_7d = 0;
  int64_t first = 0;
  int64_t last = 0;
  std::vector<std::string> file_sets;
  std::vector<std::string> launchers;
  bool is_new = false;
  DaySeries per_day{};
};

struct ChartSeries {
  std::string id;
  std::string signature;
  DaySeries days{};
};

struct GroupsView {
  std::vector<GroupSummary> groups;  // this page's, in order
  size_t page = 1;
  size_t pages = 1;
  size_t total_groups = 0;
  int64_t first_day = 0;               // Unix seconds of the chart's first day (UTC midnight)
  std::vector<ChartSeries> chart;      // the top groups, then one with an empty id for the rest
  std::vector<std::string> file_sets;  // every one seen, for the filter
  std::vector<std::string> launchers;
};

struct ReportRow {
  std::string id;
  int64_t received = 0;
  std::string account;
  std::string note;
  std::string file_set;
  std::string launcher;
  std::string windows;
};

struct GroupView {
  GroupSummary group;
  std::vector<ReportRow> reports;  // newest first
  size_t page = 1;
  size_t pages = 1;
};

struct Alert {
  std::string group;
  std::string signature;
  bool first_seen = false;  // else a surge
  uint64_t last_hour = 0;
  std::string report;  // the report that set it off
};

class ConsoleModel {
 public:
  // `revision`: the realm's current file set; groups seen only on it are new.
  explicit ConsoleModel(std::string revision) : revision_(std::move(revision)) {}
  // Reports come in any order; a report id seen before is ignored.
  void Add(const ReportFacts& report);
  // The messages this report calls for, at `now`: a group seen for the first time, or a
  // group whose crashes in the last hour pass 10 and five times its hourly average over
  // the 7 days before. At most one per group per hour (`MarkAlerted`).
  std::vector<Alert> AlertsFor(const ReportFacts& report, const std::vector<std::string>& new_groups,
                               int64_t now) const;
  void MarkAlerted(const std::string& group, int64_t at);
  bool Knows(const std::string& group) const { return group_index_.count(group) != 0; }

  GroupsView Groups(const ConsoleFilter& filter, int64_t now) const;
  bool Group(const std::string& id, const ConsoleFilter& filter, int64_t now, GroupView* view) const;
  size_t report_count() const { return reports_.size(); }
  size_t group_count() const { return groups_.size(); }

 private:
  struct Report {
    std::array<char, 32> id;
    int64_t received;
    uint32_t account;  // 0: none
    uint32_t file_set;
    uint32_t launcher;
    uint32_t windows;
    std::string note;
  };
  struct Occurrence {  // one report in one group
    uint32_t report;
    uint32_t first_crash;  // into crash_ids_
    uint32_t crash_count;
  };
  struct Bucket {
    std::string id;
    std::string signature;
    std::string lowered;
    std::vector<Occurrence> occurrences;  // oldest first
    int64_t alerted = INT64_MIN;
  };
  struct Interned {
    std::vector<std::string> texts;
    std::unordered_map<std::string, uint32_t> index;
    uint32_t Intern(const std::string& text);
  };
  struct Totals;
  Totals Summarize(const Bucket& group, const ConsoleFilter& filter, const std::vector<char>& matches, int64_t now,
                   std::vector<uint32_t>* account_marks, std::vector<uint32_t>* crash_marks, uint32_t mark) const;
  std::vector<char> MatchingReports(const ConsoleFilter& filter, int64_t now) const;
  GroupSummary Describe(const Bucket& group, const Totals& totals) const;
  uint64_t CrashesBetween(const Bucket& group, int64_t from, int64_t to) const;

  std::string revision_;
  std::vector<Report> reports_;
  std::unordered_set<uint64_t> report_ids_;  // the first 64 bits of each id: ids are random
  std::vector<Bucket> groups_;
  std::unordered_map<std::string, uint32_t> group_index_;
  std::vector<uint32_t> crash_ids_;                     // the crashes of each occurrence, flat
  std::vector<int64_t> crash_first_;                    // when each crash was first received
  std::unordered_map<uint64_t, uint32_t> crash_index_;  // hash of group and key
  Interned accounts_;
  Interned file_sets_;
  Interned launchers_;
  Interned windows_;
};

}  // namespace vantrel::site
