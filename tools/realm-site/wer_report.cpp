#include "realm-site/wer_report.h"

namespace vantrel::site {
namespace {

// "Sig[3].Value" gives 3; anything else gives -1.
int SigValueIndex(std::string_view key) {
  constexpr std::string_view kPrefix = "Sig[";
  constexpr std::string_view kSuffix = "].Value";
  if (key.size() <= kPrefix.size() + kSuffix.size() || key.substr(0, kPrefix.size()) != kPrefix ||
      key.substr(key.size() - kSuffix.size()) != kSuffix) {
    return -1;
  }
  const std::string_view digits = key.substr(kPrefix.size(), key.size() - kPrefix.size() - kSuffix.size());
  if (digits.size() != 1 || digits[0] < '0' || digits[0] > '9') return -1;
  const int index = digits[0] - '0';
  return index < static_cast<int>(kWerSigFields) ? index : -1;
}

}  // namespace

bool ReadWerReport(std::string_view text, WerReport* report) {
  *report = WerReport();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool has_event_type = false;
  bool has_identifier = false;
  bool has_time = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (key == "EventType" && !has_event_type) {
      report->event_type = value;
      has_event_type = true;
    } else if (key == "ReportIdentifier" && !has_identifier) {
      report->report_identifier = value;
      has_identifier = true;
    } else if (key == "EventTime" && !has_time) {
      report->event_time = value;
      has_time = true;
    } else if (const int index = SigValueIndex(key); index >= 0 && !report->has_sig[index]) {
      report->sig_value[index] = value;
      report->has_sig[index] = true;
    }
  }
  return has_event_type;
}

}  // namespace vantrel::site
