#pragma once
// A launcher state and worker context for running sync code directly in a test, with the
// trace lines and posted window messages captured.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"
#include "support/debug_output.h"
#include "support/os.h"

namespace vantrel::testing {

struct Captured {
  std::mutex mutex;
  std::vector<std::string> traces;
  std::vector<uint32_t> posts;
};

inline Captured& Capture() {
  static Captured captured;
  return captured;
}

class RunFixture {
 public:
  RunFixture() {
    Clear();
    SetDebugHook([](std::string_view line) {
      std::lock_guard<std::mutex> guard(Capture().mutex);
      Capture().traces.emplace_back(line);
    });
    os::SetPostHook([](os::WindowHandle, uint32_t message) {
      std::lock_guard<std::mutex> guard(Capture().mutex);
      Capture().posts.push_back(message);
    });
    context.state = &state;
    context.job_kind = JobKind::kUpdate;
    state.game_program.Set("Diablo II.exe");
    state.busy = true;  // as the worker start leaves it
  }
  ~RunFixture() {
    SetDebugHook(nullptr);
    os::SetPostHook(nullptr);
  }

  static void Clear() {
    std::lock_guard<std::mutex> guard(Capture().mutex);
    Capture().traces.clear();
    Capture().posts.clear();
  }
  static std::vector<std::string> Traces() {
    std::lock_guard<std::mutex> guard(Capture().mutex);
    return Capture().traces;
  }
  static std::vector<uint32_t> Posts() {
    std::lock_guard<std::mutex> guard(Capture().mutex);
    return Capture().posts;
  }
  // Trace lines that start with "[vantrel] <kind>: ".
  static std::vector<std::string> TracesOf(std::string_view kind) {
    std::vector<std::string> found;
    const std::string prefix = "[vantrel] " + std::string(kind) + ": ";
    for (const std::string& line : Traces()) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }
  static bool Traced(std::string_view needle) {
    for (const std::string& line : Traces()) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  LauncherState state;
  WorkerContext context;
};

}  // namespace vantrel::testing
