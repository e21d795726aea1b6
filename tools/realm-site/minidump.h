#pragma once
// Reads the exception and the module list of a Windows minidump. Every size and offset comes
// from the file and is checked against its length; streams and modules are capped. Pure.
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::site {

inline constexpr uint32_t kMaxDumpStreams = 4096;
inline constexpr uint32_t kMaxDumpModules = 8192;

struct DumpFault {
  uint32_t code = 0;
  uint64_t address = 0;
  bool in_module = false;
  std::string module;   // file name without its folder, lowercased
  uint64_t offset = 0;  // from the module's base
};

// False when the bytes are not a minidump, a stream lies past the end, or there is no
// exception stream. A module list that can't be read leaves the fault outside any module.
bool ReadDumpFault(std::string_view dump, DumpFault* fault);

}  // namespace vantrel::site
