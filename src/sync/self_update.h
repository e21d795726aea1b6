#pragma once
// Replacing the launcher's own executable when the realm names another build: download to
// own path + ".new", move the running file to ".old", move ".new" into its place, start it
// with "--updated" and ask the window to close. Every failure puts the running build back.
#include <cstdint>
#include <string>
#include <string_view>

#include "launcher/state.h"
#include "realm/http_client.h"

namespace vantrel {

// The realm's current launcher build, when its manifest names one.
struct LauncherBuild {
  std::string sha256;
  uint64_t size = 0;
};

enum class SelfUpdateResult : uint8_t {
  kCarryOn,     // the update run goes on with the game files
  kRestarting,  // the new build was started and the quit message posted: end the run now
};

// `build` is null when the manifest names no launcher build.
SelfUpdateResult RunSelfUpdate(WorkerContext& context, HttpSession& session, const LauncherBuild* build);

std::string NewBuildPath(std::string_view own_path);
std::string OldBuildPath(std::string_view own_path);
// The own path in double quotes + " --updated".
std::string UpdatedCommandLine(std::string_view own_path);
// The own path up to and including its last separator (empty when it has none).
std::string_view ProgramFolder(std::string_view own_path);

}  // namespace vantrel
