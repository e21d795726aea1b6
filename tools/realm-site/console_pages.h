#pragma once
// The operator's console drawn on the server: HTML with inline SVG and no script, and the same
// data as JSON. Everything a player wrote (account, note, file names, log text, WER fields,
// signatures) is escaped here. Pure: views in, text out.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "realm-site/console_model.h"
#include "realm-site/report_facts.h"

namespace vantrel::site {

// What every console answer carries: no script, no frames, nothing fetched from elsewhere.
inline constexpr const char* kConsolePolicy =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'";

std::string HtmlEscape(std::string_view text);
std::string IsoTime(int64_t unix_seconds);  // "2026-12-11T13:04:05Z"

std::string GroupsPageHtml(const GroupsView& view, const ConsoleFilter& filter, const std::string& realm,
                           uint64_t report_count);
std::string GroupPageHtml(const GroupView& view, const ConsoleFilter& filter);
std::string GroupsJson(const GroupsView& view);
std::string GroupJson(const GroupView& view);

struct ShownEntry {
  std::string name;
  uint64_t size = 0;
  bool inline_text = false;  // shown below
  bool readable = true;
  bool cut = false;
  std::string text;
};

struct ReportPageData {
  std::string id;
  std::string received;
  std::string account;
  std::string note;
  uint64_t archive_bytes = 0;
  std::vector<ShownEntry> entries;
  size_t more_entries = 0;  // not listed at all
  std::vector<CrashRecord> records;
  bool indexed = false;
};

std::string ReportPageHtml(const ReportPageData& data);

}  // namespace vantrel::site
