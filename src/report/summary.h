#pragma once
// "launcher.txt", the last entry of every report: eight LF-ended lines about this launcher,
// the Windows version, the realm, the game folder and start, the last check and the count.
#include <cstdint>
#include <string>
#include <string_view>

#include "launcher/state.h"
#include "support/os_version.h"

namespace vantrel {

struct SummaryFields {
  std::string launcher_line;
  std::string realm_name;
  std::string realm_game_address;
  std::string file_set;
  std::string game_folder;
  std::string game_program;
  std::string game_arguments;
  bool windowed = false;
  std::string last_check_line;
  uint32_t entry_count = 0;
};

// "Windows 10.0 build 19045", or "Windows" when the version is unknown.
std::string WindowsVersionText(const os::OsVersion* version);

// The eight lines; empty when memory runs out.
std::string ComposeReportSummary(const SummaryFields& fields, std::string_view windows_version);

// Reads the state fields under the lock and composes the summary (not yet anonymized).
std::string BuildReportSummary(WorkerContext& context, std::string_view game_folder, uint32_t entry_count);

}  // namespace vantrel
