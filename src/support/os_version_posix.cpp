#include "support/os_version.h"

namespace vantrel::os {

// Linux has no Windows version to give: the summary then reads just "Windows".
bool GetOsVersion(OsVersion*) { return false; }

}  // namespace vantrel::os
