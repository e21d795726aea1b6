#pragma once
// The update run driven natively by a benchmark, over a Launcher state and Worker context set
// up as the worker start leaves them; each run returns the finish line it traced.
#include <mutex>
#include <string>
#include <string_view>

#include "launcher/jobs.h"
#include "launcher/state.h"
#include "support/debug_output.h"
#include "support/os.h"

namespace bench {

class NativeRun {
 public:
  NativeRun(const char* site, const char* game_folder, const char* settings_folder, const char* program) {
    vantrel::SetDebugHook(KeepFinish);
    vantrel::os::SetPostHook([](vantrel::os::WindowHandle, uint32_t) {});
    context.state = &state;
    context.job_kind = vantrel::JobKind::kUpdate;
    context.realm_address = site;
    context.settings_folder = settings_folder;
    state.game_folder.Set(game_folder);
    state.game_program.Set(program);
  }

  // "<headline> | <detail> | ready=<0|1>", or empty when the run ended without one.
  std::string Run() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      finish_.clear();
    }
    state.busy = true;
    vantrel::RunJob(context);
    std::lock_guard<std::mutex> guard(mutex_);
    return finish_;
  }

  vantrel::LauncherState state;
  vantrel::WorkerContext context;

 private:
  static void KeepFinish(std::string_view line) {
    constexpr std::string_view kPrefix = "[vantrel] finish: ";
    if (line.substr(0, kPrefix.size()) != kPrefix) return;
    std::lock_guard<std::mutex> guard(mutex_);
    finish_ = std::string(line.substr(kPrefix.size()));
  }
  static inline std::mutex mutex_;
  static inline std::string finish_;
};

}  // namespace bench
