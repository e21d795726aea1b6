#pragma once
// The Windows version as the kernel reports it (RtlGetVersion), for the report summary.
#include <cstdint>

namespace vantrel::os {

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// False when the system gives no version; the caller then writes just "Windows".
bool GetOsVersion(OsVersion* version);

}  // namespace vantrel::os
