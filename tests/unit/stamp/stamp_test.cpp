#include "vantrel-stamp/stamp.h"

#include <gtest/gtest.h>

#include <vector>

#include "launcher/startup.h"
#include "realm-site/signing.h"
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

std::string KeyedImage() { return Image() + std::string(kKeyMarker) + std::string(kKeySlotBytes, '\0') + "end"; }

RealmKeys KeysIn(const std::string& image) {
  return KeysFromSlot(image.data() + image.find(kKeyMarker) + kKeyMarker.size());
}

TEST(Stamp, KeysGoIntoTheirSlotAndAStampWithoutKeysEmptiesIt) {
  testing::TempDir dir;
  std::vector<MinisignKey> keys(3);
  std::string error;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(site::GenerateKeyPair(dir / std::to_string(i), &keys[i], &error)) << error;
  }
  std::string image = KeyedImage();
  ASSERT_EQ(StampImage(image, "http://r", std::span(keys).first(2)), "");
  const RealmKeys read = KeysIn(image);
  ASSERT_TRUE(read.stamped);
  ASSERT_EQ(read.keys.size(), 2u);
  EXPECT_EQ(read.keys[1].id, keys[1].id);
  EXPECT_EQ(read.keys[1].public_key, keys[1].public_key);
  EXPECT_EQ(image.size(), KeyedImage().size());

  const std::string before = image;
  EXPECT_NE(StampImage(image, "http://r", keys), "");  // three
  EXPECT_EQ(image, before);
  ASSERT_EQ(StampImage(image, "https://r"), "");
  EXPECT_FALSE(KeysIn(image).stamped);

  // A build from before the key slot takes an address, but no key.
  std::string old_build = Image();
  EXPECT_NE(StampImage(old_build, "https://r", std::span(keys).first(1)), "");
  EXPECT_EQ(StampImage(old_build, "https://r"), "");

  // Files: the .pub is read; the secret key by mistake is refused and named as such.
  testing::WriteFile(dir / "L.exe", KeyedImage());
  EXPECT_EQ(StampFile(dir / "L.exe", "http://r", dir / "out.exe", {dir / "0/realm.pub"}), "");
  EXPECT_EQ(KeysIn(testing::ReadFile(dir / "out.exe")).keys.at(0).id, keys[0].id);
  EXPECT_NE(StampFile(dir / "L.exe", "http://r", dir / "bad.exe", {dir / "0/realm.key"}).find("secret key"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.exe"));
}

TEST(Stamp, WarnsOfPlainHttpWithoutAKey) {
  const std::string warning = PlainHttpWarning("http://realm.example", 0);
  EXPECT_NE(warning.find("launcher build and game files of their choosing"), std::string::npos);
  EXPECT_EQ(PlainHttpWarning("http://realm.example", 1), "");
  EXPECT_EQ(PlainHttpWarning("https://realm.example", 0), "");
}

}  // namespace
}  // namespace vantrel
