#include "sync/self_update.h"

#include <new>

#include "launcher/worker.h"
#include "support/os.h"
#include "support/process.h"
#include "support/sha256.h"

namespace vantrel {

std::string NewBuildPath(std::string_view own_path) { return std::string(own_path) + ".new"; }

std::string OldBuildPath(std::string_view own_path) { return std::string(own_path) + ".old"; }

std::string UpdatedCommandLine(std::string_view own_path) {
  std::string line = "\"";
  line.append(own_path).append("\" --updated");
  return line;
}

std::string_view ProgramFolder(std::string_view own_path) {
  const size_t cut = own_path.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string_view() : own_path.substr(0, cut + 1);
}

SelfUpdateResult RunSelfUpdate(WorkerContext& context, HttpSession& session, const LauncherBuild* build) {
  const bool after_update = context.started_after_update;
  context.started_after_update = false;
  const std::string& own_path = context.own_path;
  const std::string old_path = OldBuildPath(own_path);
  // The previous build may still have been mapped when the new process started.
  if (!own_path.empty()) os::DeleteFilePath(old_path);
  if (build == nullptr || after_update) return SelfUpdateResult::kCarryOn;
  // Without its own path the launcher can neither compare nor swap itself; fetching a build
  // only to throw it away would write beside whatever folder happens to be current.
  if (own_path.empty()) return SelfUpdateResult::kCarryOn;

  std::string own_hash;
  if (HashFile(own_path, &own_hash) && own_hash == build->sha256) return SelfUpdateResult::kCarryOn;

  StatusNotice(context, "Updating the launcher", "", 0.0f);
  LauncherState& state = *context.state;
  uint64_t received = 0;
  const double size = build->size == 0 ? 1.0 : static_cast<double>(build->size);
  const DownloadProgress progress = [&](uint64_t chunk_bytes) {
    received += chunk_bytes;
    {
      os::LockGuard guard(state.lock);
      state.progress = static_cast<float>(static_cast<double>(received) / size);
    }
    Notify(context);
    return true;
  };
  // Everything the swap needs is built before the first move, so no allocation can fail
  // half way through it.
  const std::string new_path = NewBuildPath(own_path);
  const std::string command_line = UpdatedCommandLine(own_path);
  std::string address = context.realm_address;
  address.append("/launcher/download");
  if (Download(session, address, new_path, build->sha256, build->size, progress) != HttpError::kNone) {
    StatusNotice(context, "The new launcher didn't download", "Carrying on with this one.", -1.0f);
    return SelfUpdateResult::kCarryOn;
  }

  os::DeleteFilePath(old_path);
  // Once the running build has moved, every way out that doesn't start the new build puts it
  // back under its own name, running out of memory included (a move can fail that way after
  // its rename, so an own path gone missing counts as moved).
  uint32_t error = os::kOk;
  bool moved_away = false;
  try {
    if (os::MoveReplace(own_path, old_path) != os::kOk) {
      os::DeleteFilePath(new_path);
      return SelfUpdateResult::kCarryOn;
    }
    moved_away = true;
    error = os::MoveReplace(new_path, own_path);
    if (error == os::kOk) error = os::StartProcess(own_path, command_line, ProgramFolder(own_path));
  } catch (const std::bad_alloc&) {
    if (moved_away || !os::GetFileFacts(own_path).exists) os::MoveReplace(old_path, own_path);
    throw;
  }
  if (error != os::kOk) {
    os::MoveReplace(old_path, own_path);
    return SelfUpdateResult::kCarryOn;
  }
  os::PostToWindow(context.window, kQuitMessage);
  return SelfUpdateResult::kRestarting;
}

}  // namespace vantrel
