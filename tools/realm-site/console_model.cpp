#include "realm-site/console_model.h"

#include <algorithm>
#include <cstring>

#include "realm-site/crash_signature.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr int64_t kDay = 86400;

uint64_t CrashHash(std::string_view group, std::string_view key) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  const auto mix = [&hash](std::string_view text) {
    for (char c : text) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  };
  mix(group);
  mix(std::string_view("\n", 1));
  mix(key);
  return hash;
}

// A "+" in a query may be a blank (as forms send it) or a plus (sent as %2B); the server
// sees both as "+", so it matches either.
bool SameQueryChar(char text, char lowered_query) {
  return lowered_query == '+' ? text == '+' || text == ' ' : AsciiLower(text) == lowered_query;
}

// `lowered_needle` must already be lowercase.
bool ContainsNoCase(std::string_view haystack, std::string_view lowered_needle) {
  if (lowered_needle.empty()) return true;
  if (haystack.size() < lowered_needle.size()) return false;
  return std::search(haystack.begin(), haystack.end(), lowered_needle.begin(), lowered_needle.end(), SameQueryChar) !=
         haystack.end();
}

// Which interned texts a filter value picks: all when the value is empty. Exact but for case
// and the "+" of a query.
std::vector<char> Picked(const std::vector<std::string>& texts, const std::string& value) {
  std::vector<char> picked(texts.size(), value.empty());
  const std::string lowered = AsciiLowered(value);
  for (size_t i = 0; i < texts.size() && !value.empty(); ++i) {
    picked[i] = texts[i].size() == lowered.size() &&
                std::equal(texts[i].begin(), texts[i].end(), lowered.begin(), SameQueryChar);
  }
  return picked;
}

int64_t DayOf(int64_t time) { return (time >= 0 ? time : time - kDay + 1) / kDay; }

}  // namespace

struct ConsoleModel::Totals {
  uint64_t crashes = 0;
  uint64_t reports = 0;
  uint64_t accounts = 0;
  uint64_t crashes_7d = 0;
  uint64_t crashes_30d = 0;
  int64_t first = INT64_MAX;
  int64_t last = INT64_MIN;
  std::vector<uint32_t> file_sets;
  std::vector<uint32_t> launchers;
  bool is_new = false;
  DaySeries per_day{};
};

uint32_t ConsoleModel::Interned::Intern(const std::string& text) {
  auto found = index.find(text);
  if (found != index.end()) return found->second;
  const uint32_t id = static_cast<uint32_t>(texts.size());
  texts.push_back(text);
  index.emplace(text, id);
  return id;
}

void ConsoleModel::Add(const ReportFacts& facts) {
  if (!IsReportId(facts.id) || !report_ids_.insert(std::stoull(facts.id.substr(0, 16), nullptr, 16)).second) return;
  if (accounts_.texts.empty()) accounts_.Intern("");  // id 0: no account
  Report report;
  std::memcpy(report.id.data(), facts.id.data(), 32);
  report.received = facts.received;
  report.account = accounts_.Intern(facts.account);
  report.file_set = file_sets_.Intern(facts.file_set);
  report.launcher = launchers_.Intern(facts.launcher);
  report.windows = windows_.Intern(facts.windows);
  report.note = facts.note;
  const uint32_t report_number = static_cast<uint32_t>(reports_.size());
  reports_.push_back(std::move(report));

  // One occurrence per group the report falls in, holding its distinct crashes there.
  std::vector<std::pair<std::string, std::string>> groups;  // id, signature
  for (const CrashRecord& record : facts.records) {
    const bool seen = std::any_of(groups.begin(), groups.end(), [&](const auto& g) { return g.first == record.group; });
    if (!seen) groups.emplace_back(record.group, record.signature);
  }
  if (groups.empty()) groups.emplace_back(GroupId(kNoCrashReport), std::string(kNoCrashReport));
  for (const auto& [group_id, signature] : groups) {
    auto [found, inserted] = group_index_.emplace(group_id, static_cast<uint32_t>(groups_.size()));
    if (inserted) {
      Bucket group;
      group.id = group_id;
      group.signature = signature;
      group.lowered = AsciiLowered(signature);
      groups_.push_back(std::move(group));
    }
    Bucket& group = groups_[found->second];
    Occurrence occurrence{report_number, static_cast<uint32_t>(crash_ids_.size()), 0};
    for (const CrashRecord& record : facts.records) {
      if (record.group != group_id) continue;
      auto [crash, is_new_crash] =
          crash_index_.emplace(CrashHash(group_id, record.key), static_cast<uint32_t>(crash_first_.size()));
      if (is_new_crash) crash_first_.push_back(facts.received);
      crash_first_[crash->second] = std::min(crash_first_[crash->second], facts.received);
      const auto begin = crash_ids_.begin() + occurrence.first_crash;
      if (std::find(begin, crash_ids_.end(), crash->second) != crash_ids_.end()) continue;
      crash_ids_.push_back(crash->second);
      ++occurrence.crash_count;
    }
    // Kept oldest first; uploads arrive in order, so this is almost always the end.
    auto at =
        std::upper_bound(group.occurrences.begin(), group.occurrences.end(), facts.received,
                         [this](int64_t time, const Occurrence& o) { return time < reports_[o.report].received; });
    group.occurrences.insert(at, occurrence);
  }
}

std::vector<char> ConsoleModel::MatchingReports(const ConsoleFilter& filter, int64_t now) const {
  // 0: outside the filters; 1: inside, but the search matches neither account nor note;
  // 2: inside and matched (or no search).
  const std::string query = AsciiLowered(filter.query);
  std::vector<char> account_matches(accounts_.texts.size(), 0);
  for (size_t i = 0; i < accounts_.texts.size(); ++i) account_matches[i] = ContainsNoCase(accounts_.texts[i], query);
  const std::vector<char> file_sets = Picked(file_sets_.texts, filter.file_set);
  const std::vector<char> launchers = Picked(launchers_.texts, filter.launcher);
  const int64_t since = filter.days == 0 ? INT64_MIN : now - int64_t{filter.days} * kDay;
  std::vector<char> matches(reports_.size(), 0);
  for (size_t i = 0; i < reports_.size(); ++i) {
    const Report& report = reports_[i];
    if (!file_sets[report.file_set] || !launchers[report.launcher] || report.received < since) {
      continue;
    }
    matches[i] = query.empty() || account_matches[report.account] || ContainsNoCase(report.note, query) ? 2 : 1;
  }
  return matches;
}

ConsoleModel::Totals ConsoleModel::Summarize(const Bucket& group, const ConsoleFilter& filter,
                                             const std::vector<char>& matches, int64_t now,
                                             std::vector<uint32_t>* account_marks, std::vector<uint32_t>* crash_marks,
                                             uint32_t mark) const {
  Totals totals;
  const char needed = ContainsNoCase(group.lowered, AsciiLowered(filter.query)) ? 1 : 2;
  const int64_t first_day = DayOf(now) - static_cast<int64_t>(kChartDays) + 1;
  const int64_t week_ago = now - 7 * kDay;
  bool all_current = !revision_.empty();
  for (const Occurrence& occurrence : group.occurrences) {
    const Report& report = reports_[occurrence.report];
    all_current = all_current && file_sets_.texts[report.file_set] == revision_;
    if (matches[occurrence.report] < needed) continue;
    ++totals.reports;
    if (report.account != 0 && (*account_marks)[report.account] != mark) {
      (*account_marks)[report.account] = mark;
      ++totals.accounts;
    }
    if (std::find(totals.file_sets.begin(), totals.file_sets.end(), report.file_set) == totals.file_sets.end()) {
      totals.file_sets.push_back(report.file_set);
    }
    if (std::find(totals.launchers.begin(), totals.launchers.end(), report.launcher) == totals.launchers.end()) {
      totals.launchers.push_back(report.launcher);
    }
    totals.first = std::min(totals.first, report.received);
    totals.last = std::max(totals.last, report.received);
    for (uint32_t i = 0; i < occurrence.crash_count; ++i) {
      const uint32_t crash = crash_ids_[occurrence.first_crash + i];
      if ((*crash_marks)[crash] == mark) continue;
      (*crash_marks)[crash] = mark;
      ++totals.crashes;
      if (report.received >= week_ago) ++totals.crashes_7d;
      const int64_t day = DayOf(report.received) - first_day;
      if (day >= 0 && day < static_cast<int64_t>(kChartDays)) {
        ++totals.per_day[static_cast<size_t>(day)];
        ++totals.crashes_30d;
      }
    }
  }
  totals.is_new = all_current && !group.occurrences.empty();
  return totals;
}

GroupSummary ConsoleModel::Describe(const Bucket& group, const Totals& totals) const {
  GroupSummary summary;
  summary.id = group.id;
  summary.signature = group.signature;
  summary.crashes = totals.crashes;
  summary.reports = totals.reports;
  summary.accounts = totals.accounts;
  summary.crashes_7d = totals.crashes_7d;
  summary.first = totals.first;
  summary.last = totals.last;
  summary.is_new = totals.is_new;
  summary.per_day = totals.per_day;
  for (uint32_t id : totals.file_sets) summary.file_sets.push_back(file_sets_.texts[id]);
  for (uint32_t id : totals.launchers) summary.launchers.push_back(launchers_.texts[id]);
  std::sort(summary.file_sets.begin(), summary.file_sets.end());
  std::sort(summary.launchers.begin(), summary.launchers.end());
  return summary;
}

GroupsView ConsoleModel::Groups(const ConsoleFilter& filter, int64_t now) const {
  GroupsView view;
  const std::vector<char> matches = MatchingReports(filter, now);
  std::vector<uint32_t> account_marks(accounts_.texts.size(), 0);
  std::vector<uint32_t> crash_marks(crash_first_.size(), 0);
  std::vector<std::pair<const Bucket*, Totals>> listed;
  for (size_t i = 0; i < groups_.size(); ++i) {
    Totals totals =
        Summarize(groups_[i], filter, matches, now, &account_marks, &crash_marks, static_cast<uint32_t>(i + 1));
    if (totals.reports > 0) listed.emplace_back(&groups_[i], std::move(totals));
  }
  std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    if (a.second.crashes_7d != b.second.crashes_7d) return a.second.crashes_7d > b.second.crashes_7d;
    if (a.second.crashes != b.second.crashes) return a.second.crashes > b.second.crashes;
    if (a.second.last != b.second.last) return a.second.last > b.second.last;
    return a.first->id < b.first->id;
  });
  view.total_groups = listed.size();
  view.pages = std::max<size_t>(1, (listed.size() + kPageSize - 1) / kPageSize);
  view.page = std::clamp<size_t>(filter.page, 1, view.pages);
  for (size_t i = (view.page - 1) * kPageSize; i < listed.size() && i < view.page * kPageSize; ++i) {
    view.groups.push_back(Describe(*listed[i].first, listed[i].second));
  }

  // The chart: the groups with most crashes in its 30 days, each in its own colour.
  std::vector<size_t> by_month(listed.size());
  for (size_t i = 0; i < by_month.size(); ++i) by_month[i] = i;
  std::stable_sort(by_month.begin(), by_month.end(), [&listed](size_t a, size_t b) {
    return listed[a].second.crashes_30d > listed[b].second.crashes_30d;
  });
  DaySeries rest{};
  bool any_rest = false;
  for (size_t rank = 0; rank < by_month.size(); ++rank) {
    const auto& [group, totals] = listed[by_month[rank]];
    if (totals.crashes_30d == 0) break;
    if (rank < kChartGroups) {
      view.chart.push_back(ChartSeries{group->id, group->signature, totals.per_day});
    } else {
      for (size_t d = 0; d < kChartDays; ++d) rest[d] += totals.per_day[d];
      any_rest = true;
    }
  }
  if (any_rest) view.chart.push_back(ChartSeries{std::string(), "other groups", rest});
  view.first_day = (DayOf(now) - static_cast<int64_t>(kChartDays) + 1) * kDay;
  for (const std::string& text : file_sets_.texts) {
    if (!text.empty()) view.file_sets.push_back(text);
  }
  for (const std::string& text : launchers_.texts) {
    if (!text.empty()) view.launchers.push_back(text);
  }
  std::sort(view.file_sets.begin(), view.file_sets.end());
  std::sort(view.launchers.begin(), view.launchers.end());
  return view;
}

bool ConsoleModel::Group(const std::string& id, const ConsoleFilter& filter, int64_t now, GroupView* view) const {
  auto found = group_index_.find(id);
  if (found == group_index_.end()) return false;
  const Bucket& group = groups_[found->second];
  const std::vector<char> matches = MatchingReports(filter, now);
  std::vector<uint32_t> account_marks(accounts_.texts.size(), 0);
  std::vector<uint32_t> crash_marks(crash_first_.size(), 0);
  const Totals totals = Summarize(group, filter, matches, now, &account_marks, &crash_marks, 1);
  view->group = Describe(group, totals);
  const char needed = ContainsNoCase(group.lowered, AsciiLowered(filter.query)) ? 1 : 2;
  std::vector<uint32_t> listed;
  for (auto it = group.occurrences.rbegin(); it != group.occurrences.rend(); ++it) {
    if (matches[it->report] >= needed) listed.push_back(it->report);
  }
  view->pages = std::max<size_t>(1, (listed.size() + kPageSize - 1) / kPageSize);
  view->page = std::clamp<size_t>(filter.page, 1, view->pages);
  view->reports.clear();
  for (size_t i = (view->page - 1) * kPageSize; i < listed.size() && i < view->page * kPageSize; ++i) {
    const Report& report = reports_[listed[i]];
    ReportRow row;
    row.id.assign(report.id.data(), report.id.size());
    row.received = report.received;
    row.account = accounts_.texts[report.account];
    row.note = report.note;
    row.file_set = file_sets_.texts[report.file_set];
    row.launcher = launchers_.texts[report.launcher];
    row.windows = windows_.texts[report.windows];
    view->reports.push_back(std::move(row));
  }
  return true;
}

uint64_t ConsoleModel::CrashesBetween(const Bucket& group, int64_t from, int64_t to) const {
  std::unordered_set<uint32_t> counted;
  for (auto it = group.occurrences.rbegin(); it != group.occurrences.rend(); ++it) {
    const int64_t received = reports_[it->report].received;
    if (received < from) break;
    if (received >= to) continue;
    for (uint32_t i = 0; i < it->crash_count; ++i) {
      const uint32_t crash = crash_ids_[it->first_crash + i];
      if (crash_first_[crash] >= from && crash_first_[crash] < to) counted.insert(crash);
    }
  }
  return counted.size();
}

std::vector<Alert> ConsoleModel::AlertsFor(const ReportFacts& report, const std::vector<std::string>& new_groups,
                                           int64_t now) const {
  std::vector<Alert> alerts;
  std::vector<std::string> seen;
  for (const CrashRecord& record : report.records) {
    if (std::find(seen.begin(), seen.end(), record.group) != seen.end()) continue;
    seen.push_back(record.group);
    auto found = group_index_.find(record.group);
    if (found == group_index_.end()) continue;
    const Bucket& group = groups_[found->second];
    if (group.alerted != INT64_MIN && now - group.alerted < 3600) continue;
    Alert alert;
    alert.group = group.id;
    alert.signature = group.signature;
    alert.report = report.id;
    alert.last_hour = CrashesBetween(group, now - 3600, now + 1);
    if (std::find(new_groups.begin(), new_groups.end(), group.id) != new_groups.end()) {
      alert.first_seen = true;
      alerts.push_back(std::move(alert));
      continue;
    }
    const uint64_t week = CrashesBetween(group, now - 3600 - 7 * kDay, now - 3600);
    // More than 10, and more than five times the hourly average: 5 * week / 168.
    if (alert.last_hour > 10 && alert.last_hour * 168 > 5 * week) alerts.push_back(std::move(alert));
  }
  return alerts;
}

void ConsoleModel::MarkAlerted(const std::string& group, int64_t at) {
  auto found = group_index_.find(group);
  if (found != group_index_.end()) groups_[found->second].alerted = at;
}

}  // namespace vantrel::site
