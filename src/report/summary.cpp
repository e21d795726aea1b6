#include "report/summary.h"

#include <new>

#include "support/text.h"

namespace vantrel {

std::string WindowsVersionText(const os::OsVersion* version) {
  if (version == nullptr) return "Windows";
  try {
    std::string text = "Windows ";
    text.append(Decimal(version->major)).append(".").append(Decimal(version->minor));
    text.append(" build ").append(Decimal(version->build));
    return text;
  } catch (const std::bad_alloc&) {
    return "Windows";
  }
}

std::string ComposeReportSummary(const SummaryFields& f, std::string_view windows_version) {
  try {
    std::string text;
    text.reserve(1024);
    text.append(f.launcher_line).append("\n");
    text.append(windows_version).append("\n");
    text.append("Realm: ").append(f.realm_name).append(" at ").append(f.realm_game_address).append("\n");
    text.append("File set: ").append(f.file_set).append("\n");
    text.append("Game folder: ").append(f.game_folder).append("\n");
    text.append("Starts: ").append(f.game_program).append(" ").append(f.game_arguments);
    if (f.windowed) text.append(" -w");
    text.append("\n");
    text.append("Last check: ").append(f.last_check_line).append("\n");
    text.append("Other files in this upload: ").append(Decimal(f.entry_count)).append("\n");
    return text;
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

std::string BuildReportSummary(WorkerContext& context, std::string_view game_folder, uint32_t entry_count) {
  SummaryFields fields;
  os::OsVersion version;
  try {
    fields.game_folder = game_folder;
    fields.entry_count = entry_count;
    fields.file_set = context.file_set.Copy();
    fields.last_check_line = context.last_check_line.Copy();
    const bool have_version = os::GetOsVersion(&version);
    LauncherState& state = *context.state;
    {
      os::LockGuard guard(state.lock);
      fields.launcher_line = state.launcher_line.Copy();
      fields.realm_name = state.realm_name.Copy();
      fields.realm_game_address = state.realm_game_address.Copy();
      fields.game_program = state.game_program.Copy();
      fields.game_arguments = state.game_arguments.Copy();
      fields.windowed = state.windowed;
    }
    return ComposeReportSummary(fields, WindowsVersionText(have_version ? &version : nullptr));
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

}  // namespace vantrel
