#pragma once
// Reads a Windows Error Reporting report (Report.wer as the launcher sends it, UTF-8 "Key=Value"
// lines) into the few fields a crash signature needs. Pure: bytes in, fields out.
#include <array>
#include <string>
#include <string_view>

namespace vantrel::site {

inline constexpr size_t kWerSigFields = 9;

struct WerReport {
  std::string event_type;
  std::string report_identifier;
  std::string event_time;                            // FILETIME ticks as written
  std::array<std::string, kWerSigFields> sig_value;  // Sig[i].Value by index; names are localized
  std::array<bool, kWerSigFields> has_sig{};
};

// Takes every line "Key=Value" (CRLF or LF, a UTF-8 byte order mark allowed); the first value
// of a key counts. False when no EventType line is found.
bool ReadWerReport(std::string_view text, WerReport* report);

}  // namespace vantrel::site
