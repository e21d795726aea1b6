#include <windows.h>

#include "support/os_version.h"

namespace vantrel::os {

bool GetOsVersion(OsVersion* version) {
  // RtlGetVersion is not subject to the compatibility shims that make GetVersionEx lie.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  const auto rtl_get_version =
      reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtl_get_version == nullptr) return false;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;  // 276
  static_assert(sizeof(OSVERSIONINFOW) == 276);
  if (rtl_get_version(&info) != 0) return false;
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  return true;
}

}  // namespace vantrel::os
