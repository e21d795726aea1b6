// The report's Windows pieces under Wine: the version from RtlGetVersion and the summary
// line built from it.
#include <gtest/gtest.h>
#include <windows.h>

#include "report/summary.h"
#include "support/os_version.h"

namespace vantrel {
namespace {

TEST(ReportSeam, WindowsVersionComesFromTheKernel) {
  os::OsVersion version;
  ASSERT_TRUE(os::GetOsVersion(&version));
  EXPECT_GE(version.major, 5u);
  EXPECT_GT(version.build, 0u);
  const std::string line = WindowsVersionText(&version);
  EXPECT_EQ(line, "Windows " + std::to_string(version.major) + "." + std::to_string(version.minor) + " build " +
                      std::to_string(version.build));
}

}  // namespace
}  // namespace vantrel
