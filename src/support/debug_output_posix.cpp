#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/debug_output.h"

namespace vantrel {
namespace {
std::atomic<DebugHook> g_hook{nullptr};
}

void DebugOutput(std::string_view line) {
  if (DebugHook hook = g_hook.load()) {
    hook(line);
  } else if (std::getenv("VANTREL_TRACE") != nullptr) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

void SetDebugHook(DebugHook hook) { g_hook.store(hook); }

}  // namespace vantrel
