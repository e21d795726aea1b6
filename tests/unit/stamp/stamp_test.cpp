#include "vantrel-stamp/stamp.h"

#include <gtest/gtest.h>

#include "launcher/startup.h"
#include "test_support.h"

namespace vantrel {
namespace {

std::string Image(int markers = 1) {
  std::string image = "MZ header bytes";
  for (int i = 0; i < markers; ++i) image += std::string(kSiteMarker) + std::string(kSiteSlotBytes, '\0') + "tail";
  return image;
}

TEST(Stamp, WritesAddressNulPaddedAfterTheMarker) {
  std::string image = Image();
  ASSERT_EQ(StampImage(image, "https://realm.example/"), "");
  const size_t at = image.find(kSiteMarker) + kSiteMarker.size();
  EXPECT_EQ(AddressFromSlot(image.data() + at), "https://realm.example");
  EXPECT_EQ(image.substr(at + 22, kSiteSlotBytes - 22), std::string(kSiteSlotBytes - 22, '\0'));
  EXPECT_EQ(image.size(), Image().size());
  // A second stamp replaces the first whole, with no leftover bytes of a longer address.
  ASSERT_EQ(StampImage(image, "http://a.b"), "");
  EXPECT_EQ(AddressFromSlot(image.data() + at), "http://a.b");
}

TEST(Stamp, RefusesWhatTheLauncherWouldRefuse) {
  std::string image = Image();
  const std::string before = image;
  EXPECT_NE(StampImage(image, "ftp://realm"), "");
  EXPECT_NE(StampImage(image, "https://realm example"), "");
  EXPECT_NE(StampImage(image, "https://realm\x7f"), "");
  EXPECT_NE(StampImage(image, "https://" + std::string(233, 'a')), "");  // 241 bytes
  EXPECT_EQ(image, before);
  EXPECT_EQ(StampImage(image, "https://" + std::string(232, 'a')), "");  // exactly 240
}

TEST(Stamp, NeedsExactlyOneWholeSlot) {
  std::string none = "no marker here";
  EXPECT_NE(StampImage(none, "https://r"), "");
  std::string twice = Image(2);
  EXPECT_NE(StampImage(twice, "https://r"), "");
  std::string cut = std::string(kSiteMarker) + std::string(100, '\0');
  EXPECT_NE(StampImage(cut, "https://r"), "");
}

TEST(Stamp, FileIsReplacedWholeOrNotAtAll) {
  testing::TempDir dir;
  testing::WriteFile(dir / "L.exe", Image());
  EXPECT_EQ(StampFile(dir / "L.exe", "https://r", dir / "out.exe"), "");
  EXPECT_NE(testing::ReadFile(dir / "out.exe"), Image());
  EXPECT_EQ(testing::ReadFile(dir / "L.exe"), Image());
  EXPECT_NE(StampFile(dir / "L.exe", "nope", dir / "bad.exe"), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.exe"));
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.exe.stamping"));
  EXPECT_NE(StampFile(dir / "missing.exe", "https://r", dir / "x.exe"), "");
  EXPECT_NE(StampFile(dir / "L.exe", "https://r", dir / "no/such/folder/x.exe"), "");
}

}  // namespace
}  // namespace vantrel
