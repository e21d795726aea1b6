#pragma once
// The gathering job (RunGathering, launcher/jobs.h) reads the planned files through the OS
// seam; these are its pieces that tests drive directly.
#include <cstdint>
#include <string>
#include <string_view>

#include "report/gather_rules.h"

namespace vantrel {

inline constexpr uint32_t kReadPiece = 65536;

// Reads at most `cap` of the last bytes of a file listed at `size` bytes: one seek, then
// pieces of 64 KiB. Returns the OS error of the open, seek or read (0 on success).
uint32_t ReadTail(std::string_view path, uint64_t size, uint64_t cap, std::string* content);

}  // namespace vantrel
