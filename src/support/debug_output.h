#pragma once
// One line to the debugger's output (OutputDebugStringW on Windows). On Linux the line goes
// to a hook that tests install, or to stderr when VANTREL_TRACE is set.
#include <string_view>

namespace vantrel {

void DebugOutput(std::string_view line);

using DebugHook = void (*)(std::string_view line);
void SetDebugHook(DebugHook hook);

}  // namespace vantrel
