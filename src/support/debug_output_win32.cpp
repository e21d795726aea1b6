#include <windows.h>

#include <string>

#include "support/debug_output.h"
#include "support/win_text.h"

namespace vantrel {

void DebugOutput(std::string_view line) {
  std::wstring wide;
  if (!ToWide(line, &wide)) {
    // A headline cut inside a UTF-8 sequence still deserves a line: drop the broken tail.
    std::string lossy(line);
    while (!lossy.empty() && !ToWide(lossy, &wide)) lossy.pop_back();
  }
  OutputDebugStringW(wide.c_str());
}

void SetDebugHook(DebugHook) {}

}  // namespace vantrel
