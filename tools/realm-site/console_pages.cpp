#include "realm-site/console_pages.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr const char* kColours[kChartGroups] = {"#d1495b", "#edae49", "#00798c", "#66a182", "#8d5a97", "#2e4057"};
constexpr const char* kRestColour = "#b8b8b8";

constexpr const char* kStyle =
    "<style>body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;max-width:1200px}"
    "h1{font-size:1.4em;margin:0 0 .3em}table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #ddd;vertical-align:top}"
    "th{background:#f3f3f3;font-weight:600}td.n{text-align:right;font-variant-numeric:tabular-nums}"
    ".sig{font-family:ui-monospace,monospace;overflow-wrap:anywhere;min-width:22em}.new{background:#d1495b;color:#fff;"
    "border-radius:3px;padding:0 4px;font-size:.8em;margin-left:6px}.muted{color:#777}"
    "form{margin:.8em 0;display:flex;gap:.6em;flex-wrap:wrap;align-items:end}label{font-size:.85em;color:#555}"
    "pre{background:#f7f7f7;border:1px solid #ddd;padding:8px;overflow:auto;max-height:40em;white-space:pre-wrap}"
    ".legend span{display:inline-block;margin-right:1em}.sw{display:inline-block;width:10px;height:10px;"
    "margin-right:4px}nav a{margin-right:1em}</style>";

std::string Head(std::string_view title) {
  return "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) + "</title>" + kStyle +
         "</head><body>\n";
}

std::string UrlEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// The filters as a query string for links, with `page` replaced.
std::string QueryFor(const ConsoleFilter& filter, size_t page) {
  std::string query;
  const auto add = [&query](const char* key, const std::string& value) {
    if (value.empty()) return;
    query += (query.empty() ? "?" : "&") + std::string(key) + "=" + UrlEncoded(value);
  };
  add("file_set", filter.file_set);
  add("launcher", filter.launcher);
  add("days", filter.days == 0 ? std::string() : Decimal(filter.days));
  add("q", filter.query);
  add("page", page <= 1 ? std::string() : Decimal(page));
  return query;
}

std::string DayText(int64_t unix_seconds) { return IsoTime(unix_seconds).substr(0, 10); }

std::string ShortTime(int64_t unix_seconds) {
  const std::string iso = IsoTime(unix_seconds);
  return iso.substr(0, 10) + " " + iso.substr(11, 5);
}

std::string Joined(const std::vector<std::string>& texts, std::string_view empty_as) {
  std::string out;
  for (const std::string& text : texts) {
    if (!out.empty()) out += ", ";
    out += HtmlEscape(text.empty() ? empty_as : std::string_view(text));
  }
  return out;
}

std::string Sparkline(const DaySeries& series) {
  const uint32_t top = std::max<uint32_t>(1, *std::max_element(series.begin(), series.end()));
  std::string svg = "<svg width=\"90\" height=\"20\" viewBox=\"0 0 90 20\" role=\"img\">";
  for (size_t d = 0; d < series.size(); ++d) {
    if (series[d] == 0) continue;
    const uint32_t height = std::max<uint32_t>(1, series[d] * 20 / top);
    svg += "<rect x=\"" + Decimal(d * 3) + "\" y=\"" + Decimal(20 - height) + "\" width=\"2\" height=\"" +
           Decimal(height) + "\" fill=\"#00798c\"/>";
  }
  return svg + "</svg>";
}

std::string Chart(const GroupsView& view) {
  DaySeries totals{};
  for (const ChartSeries& series : view.chart) {
    for (size_t d = 0; d < kChartDays; ++d) totals[d] += series.days[d];
  }
  const uint32_t top = std::max<uint32_t>(1, *std::max_element(totals.begin(), totals.end()));
  constexpr int kWidth = 900;
  constexpr int kHeight = 160;
  constexpr int kBar = kWidth / static_cast<int>(kChartDays);
  std::string svg = "<svg width=\"" + Decimal(kWidth + 40) + "\" height=\"" + Decimal(kHeight + 24) +
                    "\" viewBox=\"0 0 " + Decimal(kWidth + 40) + " " + Decimal(kHeight + 24) +
                    "\" role=\"img\" aria-label=\"crashes per day, last 30 days\">";
  svg += "<text x=\"" + Decimal(kWidth + 4) + "\" y=\"12\" font-size=\"11\" fill=\"#777\">" + Decimal(top) + "</text>";
  svg += "<line x1=\"0\" y1=\"" + Decimal(kHeight) + "\" x2=\"" + Decimal(kWidth) + "\" y2=\"" + Decimal(kHeight) +
         "\" stroke=\"#999\"/>";
  for (size_t d = 0; d < kChartDays; ++d) {
    uint32_t stacked = 0;
    const std::string day = DayText(view.first_day + static_cast<int64_t>(d) * 86400);
    for (size_t s = 0; s < view.chart.size(); ++s) {
      const uint32_t count = view.chart[s].days[d];
      if (count == 0) continue;
      const uint32_t y0 = kHeight - stacked * kHeight / top;
      stacked += count;
      const uint32_t y1 = kHeight - stacked * kHeight / top;
      svg += "<rect x=\"" + Decimal(d * kBar + 1) + "\" y=\"" + Decimal(y1) + "\" width=\"" + Decimal(kBar - 2) +
             "\" height=\"" + Decimal(std::max<uint32_t>(1, y0 - y1)) + "\" fill=\"" +
             (view.chart[s].id.empty() ? kRestColour : kColours[s % kChartGroups]) + "\"><title>" + day + ": " +
             Decimal(count) + " \xC3\x97 " + HtmlEscape(view.chart[s].signature) + "</title></rect>";
    }
    if (d % 5 == 0 || d + 1 == kChartDays) {
      svg += "<text x=\"" + Decimal(d * kBar) + "\" y=\"" + Decimal(kHeight + 16) +
             "\" font-size=\"11\" fill=\"#777\">" + day.substr(5) + "</text>";
    }
  }
  svg += "</svg>\n<p class=\"legend\">";
  for (size_t s = 0; s < view.chart.size(); ++s) {
    svg += std::string("<span><i class=\"sw\" style=\"background:") +
           (view.chart[s].id.empty() ? kRestColour : kColours[s % kChartGroups]) + "\"></i><span class=\"sig\">" +
           HtmlEscape(view.chart[s].signature) + "</span></span>";
  }
  return svg + "</p>\n";
}

std::string Options(const std::vector<std::string>& values, const std::string& chosen) {
  std::string out = "<option value=\"\">any</option>";
  for (const std::string& value : values) {
    out += "<option value=\"" + HtmlEscape(value) + "\"" + (value == chosen ? " selected" : "") + ">" +
           HtmlEscape(value) + "</option>";
  }
  return out;
}

std::string Pager(const std::string& path, const ConsoleFilter& filter, size_t page, size_t pages) {
  if (pages <= 1) return std::string();
  std::string out = "<nav>";
  if (page > 1) out += "<a href=\"" + path + HtmlEscape(QueryFor(filter, page - 1)) + "\">&larr; newer</a>";
  out += "page " + Decimal(page) + " of " + Decimal(pages);
  if (page < pages) out += " <a href=\"" + path + HtmlEscape(QueryFor(filter, page + 1)) + "\">more &rarr;</a>";
  return out + "</nav>\n";
}

nlohmann::json GroupObject(const GroupSummary& group) {
  return {{"id", group.id},
          {"signature", group.signature},
          {"crashes", group.crashes},
          {"reports", group.reports},
          {"accounts", group.accounts},
          {"first", group.reports ? IsoTime(group.first) : ""},
          {"last", group.reports ? IsoTime(group.last) : ""},
          {"file_sets", group.file_sets},
          {"launchers", group.launchers},
          {"new", group.is_new}};
}

std::string Dumped(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\0': out += "&#xFFFD;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string IsoTime(int64_t unix_seconds) {
  const time_t time = static_cast<time_t>(unix_seconds);
  struct tm parts {};
  gmtime_r(&time, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string GroupsPageHtml(const GroupsView& view, const ConsoleFilter& filter, const std::string& realm,
                           uint64_t report_count) {
  std::string page = Head("Crash reports") + "<h1>Crash reports" +
                     (realm.empty() ? std::string() : " \xE2\x80\x94 " + HtmlEscape(realm)) +
                     "</h1>\n<p class=\"muted\">" + Decimal(report_count) + " reports, " + Decimal(view.total_groups) +
                     " groups shown. Crashes per day, last 30 days:</p>\n";
  page += Chart(view);
  page += "<form method=\"get\" action=\"/reports\"><div><label>File set<br><select name=\"file_set\">" +
          Options(view.file_sets, filter.file_set) +
          "</select></label></div><div><label>Launcher<br><select "
          "name=\"launcher\">" +
          Options(view.launchers, filter.launcher) +
          "</select></label></div><div><label>Last days<br><input name=\"days\" size=\"4\" value=\"" +
          (filter.days ? Decimal(filter.days) : std::string()) +
          "\"></label></div><div><label>Search signature, account, note<br><input name=\"q\" size=\"30\" "
          "value=\"" +
          HtmlEscape(filter.query) +
          "\"></label></div><div><button type=\"submit\">Show</button> <a "
          "href=\"/reports\">clear</a></div></form>\n";
  page +=
      "<table>\n<tr><th>Signature</th><th>Crashes</th><th>7 days</th><th>Reports</th><th>Accounts</th><th>First "
      "seen</th><th>Last seen</th><th>File sets</th><th>Launchers</th><th>30 days</th></tr>\n";
  for (const GroupSummary& group : view.groups) {
    page += "<tr><td class=\"sig\"><a href=\"/reports/group/" + HtmlEscape(group.id) + HtmlEscape(QueryFor(filter, 1)) +
            "\">" + HtmlEscape(group.signature) + "</a>" + (group.is_new ? "<span class=\"new\">new</span>" : "") +
            "</td><td class=\"n\">" + Decimal(group.crashes) + "</td><td class=\"n\">" + Decimal(group.crashes_7d) +
            "</td><td class=\"n\">" + Decimal(group.reports) + "</td><td class=\"n\">" + Decimal(group.accounts) +
            "</td><td>" + ShortTime(group.first) + "</td><td>" + ShortTime(group.last) + "</td><td>" +
            Joined(group.file_sets, "(none)") + "</td><td>" + Joined(group.launchers, "(none)") + "</td><td>" +
            Sparkline(group.per_day) + "</td></tr>\n";
  }
  page += "</table>\n";
  if (view.groups.empty()) page += "<p>No reports match.</p>\n";
  page += Pager("/reports", filter, view.page, view.pages);
  page += "<p class=\"muted\">The same as JSON: <a href=\"/reports/groups.json" +
          HtmlEscape(QueryFor(filter, view.page)) + "\">groups.json</a></p>\n</body></html>\n";
  return page;
}

std::string GroupPageHtml(const GroupView& view, const ConsoleFilter& filter) {
  const GroupSummary& group = view.group;
  std::string page = Head("Crash group " + group.id) + "<p><a href=\"/reports" + HtmlEscape(QueryFor(filter, 1)) +
                     "\">&larr; all groups</a></p>\n<h1 class=\"sig\">" + HtmlEscape(group.signature) +
                     (group.is_new ? "<span class=\"new\">new</span>" : "") + "</h1>\n<p>" + Decimal(group.crashes) +
                     " crashes in " + Decimal(group.reports) + " reports from " + Decimal(group.accounts) +
                     " accounts; first seen " + (group.reports ? ShortTime(group.first) : "-") + ", last seen " +
                     (group.reports ? ShortTime(group.last) : "-") + ". " + Sparkline(group.per_day) + "</p>\n";
  page +=
      "<table>\n<tr><th>Received (UTC)</th><th>Account</th><th>Note</th><th>File set</th><th>Launcher</th>"
      "<th>Windows</th><th></th></tr>\n";
  for (const ReportRow& row : view.reports) {
    page += "<tr><td>" + ShortTime(row.received) + "</td><td>" + HtmlEscape(row.account) + "</td><td>" +
            HtmlEscape(row.note) + "</td><td>" + HtmlEscape(row.file_set) + "</td><td>" + HtmlEscape(row.launcher) +
            "</td><td>" + HtmlEscape(row.windows) + "</td><td><a href=\"/reports/" + HtmlEscape(row.id) +
            "\">report</a></td></tr>\n";
  }
  page += "</table>\n" + Pager("/reports/group/" + HtmlEscape(group.id), filter, view.page, view.pages) +
          "<p class=\"muted\">The same as JSON: <a href=\"/reports/group/" + HtmlEscape(group.id) + ".json" +
          HtmlEscape(QueryFor(filter, view.page)) + "\">" + HtmlEscape(group.id) + ".json</a></p>\n</body></html>\n";
  return page;
}

std::string GroupsJson(const GroupsView& view) {
  nlohmann::json groups = nlohmann::json::array();
  for (const GroupSummary& group : view.groups) groups.push_back(GroupObject(group));
  return Dumped({{"groups", groups}, {"page", view.page}, {"pages", view.pages}});
}

std::string GroupJson(const GroupView& view) {
  nlohmann::json reports = nlohmann::json::array();
  for (const ReportRow& row : view.reports) {
    reports.push_back({{"id", row.id},
                       {"received", IsoTime(row.received)},
                       {"account", row.account},
                       {"note", row.note},
                       {"file_set", row.file_set},
                       {"launcher", row.launcher},
                       {"windows", row.windows}});
  }
  return Dumped({{"group", GroupObject(view.group)}, {"reports", reports}, {"page", view.page}, {"pages", view.pages}});
}

std::string ReportPageHtml(const ReportPageData& data) {
  std::string page = Head("Log report") + "<h1>Log report</h1>\n<p>Received: " + HtmlEscape(data.received) +
                     "<br>Account: " + HtmlEscape(data.account) + "<br>Note: " + HtmlEscape(data.note) +
                     "</p>\n<p><a href=\"/reports/" + HtmlEscape(data.id) + "/download\">Download the archive</a> (" +
                     Decimal(data.archive_bytes) + " bytes)</p>\n";
  if (!data.records.empty()) {
    page += "<h2>Crashes</h2>\n<table>\n<tr><th>File</th><th>Signature</th><th>Group</th></tr>\n";
    for (const CrashRecord& record : data.records) {
      page += "<tr><td>" + HtmlEscape(record.entry) + "</td><td class=\"sig\">" + HtmlEscape(record.signature) +
              "</td><td><a href=\"/reports/group/" + HtmlEscape(record.group) + "\">" + HtmlEscape(record.group) +
              "</a></td></tr>\n";
    }
    page += "</table>\n";
  } else if (data.indexed) {
    page += "<p>No crash report in this upload.</p>\n";
  }
  page += "<h2>Files</h2>\n<table>\n<tr><th>File</th><th>Size</th></tr>\n";
  for (const ShownEntry& entry : data.entries) {
    page += "<tr><td>" + HtmlEscape(entry.name) + "</td><td>" + Decimal(entry.size) + "</td></tr>\n";
  }
  page += "</table>\n";
  if (data.more_entries > 0) page += "<p>and " + Decimal(data.more_entries) + " more files in the archive</p>\n";
  for (const ShownEntry& entry : data.entries) {
    if (!entry.inline_text) continue;
    page += "<h3>" + HtmlEscape(entry.name) + "</h3>\n";
    if (!entry.readable) {
      page += "<p>This file can't be read from the archive.</p>\n";
      continue;
    }
    page += "<pre>" + HtmlEscape(entry.text) + "</pre>\n";
    if (entry.cut) page += "<p class=\"muted\">Cut at 256 KiB; the whole file is in the archive.</p>\n";
  }
  return page + "</body></html>\n";
}

}  // namespace vantrel::site
