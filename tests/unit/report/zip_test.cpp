#include "report/zip.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/deflate.h"
#include "unit/report/archive_readers.h"

namespace vantrel {
namespace {

uint16_t U16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}
uint32_t U32(const std::string& s, size_t at) { return U16(s, at) | (static_cast<uint32_t>(U16(s, at + 2)) << 16); }

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

TEST(Deflate, Crc32AndBoundedOutput) {
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);  // the standard check value
  std::string out;
  const std::string text(100000, 'a');
  ASSERT_EQ(DeflateRaw(text, text.size() - 1, &out), DeflateStatus::kOk);
  EXPECT_LT(out.size(), 1000u);
  // Random bytes don't shrink: a bound of size - 1 reports that instead of a result.
  const std::string noise = RandomBytes(50000, 7);
  EXPECT_EQ(DeflateRaw(noise, noise.size() - 1, &out), DeflateStatus::kTooLarge);
  EXPECT_TRUE(out.empty());
}

TEST(Zip, EmptyReportIsTheEndRecordAlone) {
  std::string archive;
  ASSERT_TRUE(PackReport(nullptr, 0, true, &archive));
  const std::string expected("PK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 22);
  EXPECT_EQ(archive, expected);
  EXPECT_EQ(testing_support::CheckArchiveWithReaders(archive, {}), "");
}

TEST(Zip, LayoutOffsetsAndMethods) {
  const std::vector<ReportEntry> entries = {
      {"game/a.log", std::string(5000, 'x') + "tail", 0},
      {"empty.txt", "", 0},
      {"crash/x.dmp", RandomBytes(3000, 1), 1},
      {"launcher.txt", "Launcher 1\n", 0},
  };
  std::string archive;
  ASSERT_TRUE(PackReport(entries.data(), static_cast<uint32_t>(entries.size()), true, &archive));

  const size_t end = archive.size() - 22;
  ASSERT_EQ(U32(archive, end), 0x06054B50u);
  EXPECT_EQ(U16(archive, end + 8), 4);
  EXPECT_EQ(U16(archive, end + 10), 4);
  const uint32_t directory_offset = U32(archive, end + 16);
  EXPECT_EQ(directory_offset + U32(archive, end + 12), end);

  // Walk the central directory; each record must point at a matching local header.
  size_t at = directory_offset;
  const uint16_t expected_methods[] = {8, 0, 0, 0};  // the dump is noise, the last text too short
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(U32(archive, at), 0x02014B50u) << i;
    EXPECT_EQ(U16(archive, at + 4), 20);
    EXPECT_EQ(U16(archive, at + 10), expected_methods[i]) << entries[i].name;
    EXPECT_EQ(U16(archive, at + 14), 0x0021);
    EXPECT_EQ(U32(archive, at + 16), Crc32(entries[i].content));
    EXPECT_EQ(U32(archive, at + 24), entries[i].content.size());
    const uint16_t name_size = U16(archive, at + 28);
    EXPECT_EQ(archive.substr(at + 46, name_size), entries[i].name);
    const uint32_t local = U32(archive, at + 42);
    ASSERT_EQ(U32(archive, local), 0x04034B50u);
    EXPECT_EQ(U16(archive, local + 8), expected_methods[i]);
    EXPECT_EQ(U32(archive, local + 18), U32(archive, at + 20));
    EXPECT_EQ(archive.substr(local + 30, name_size), entries[i].name);
    if (expected_methods[i] == 0) {
      EXPECT_EQ(archive.substr(local + 30 + name_size, entries[i].content.size()), entries[i].content);
    } else {
      EXPECT_LT(U32(archive, local + 18), entries[i].content.size());
    }
    at += 46 + name_size;
  }
  EXPECT_EQ(at, end);
  // The empty entry: stored, sizes 0, CRC 0.
  EXPECT_EQ(U32(archive, 30 + 10 + U32(archive, 18) + 14), 0u);

  std::vector<testing_support::ExpectedEntry> expected;
  for (const ReportEntry& e : entries) expected.push_back({e.name, e.content});
  EXPECT_EQ(testing_support::CheckArchiveWithReaders(archive, expected), "");
}

TEST(Zip, CrashDumpsLeftOutWhenNotIncluded) {
  const std::vector<ReportEntry> entries = {
      {"crash/a.dmp", "dump one", 1},
      {"game/b.log", "log", 0},
      {"crash/c.dmp", "dump two", 1},
  };
  std::string archive;
  ASSERT_TRUE(PackReport(entries.data(), 3, false, &archive));
  const size_t end = archive.size() - 22;
  EXPECT_EQ(U16(archive, end + 8), 1);
  EXPECT_EQ(U16(archive, end + 10), 1);
  EXPECT_EQ(archive.find("crash/"), std::string::npos);
  EXPECT_EQ(testing_support::CheckArchiveWithReaders(archive, {{"game/b.log", "log"}}), "");
}

}  // namespace
}  // namespace vantrel
