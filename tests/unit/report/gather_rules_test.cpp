#include "report/gather_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

TEST(GatherRules, GroupNameRules) {
  EXPECT_TRUE(IsDailyGameLog("D2123456.txt"));
  EXPECT_TRUE(IsDailyGameLog("d2654321.TXT"));
  EXPECT_FALSE(IsDailyGameLog("D2ABCDEF.txt"));
  EXPECT_FALSE(IsDailyGameLog("D21234567.txt"));
  EXPECT_FALSE(IsDailyGameLog("D212345.txt"));
  EXPECT_FALSE(IsDailyGameLog("X2123456.txt"));

  EXPECT_TRUE(IsLoaderLog("D2Loader.LOG"));
  EXPECT_TRUE(IsLoaderLog("bnetlog.txt"));
  EXPECT_FALSE(IsLoaderLog("bnetlog.log"));
  EXPECT_TRUE(IsOtherGameLog("net.LOG"));
  EXPECT_FALSE(IsOtherGameLog("d2loader.log"));
  EXPECT_FALSE(IsOtherGameLog("net.log.txt"));

  EXPECT_FALSE(IsWerReportFolder("AppCrash_Game.exe_"));
  EXPECT_TRUE(IsWerReportFolder("appcrash_game.exe_1a2b"));
  EXPECT_TRUE(IsWerReportFolder("AppHang_Diablo II.exe_9"));
  EXPECT_FALSE(IsWerReportFolder("AppCrash_Other.exe_1"));
  EXPECT_TRUE(IsWerReportFile("REPORT.WER"));
  EXPECT_TRUE(IsWerDump("memory.HDMP"));
  EXPECT_TRUE(IsWerDump("a.dmp"));
  EXPECT_FALSE(IsWerDump("a.dmp.txt"));

  EXPECT_TRUE(IsCrashDumpsFile("Game.exe.812.dmp"));
  EXPECT_TRUE(IsCrashDumpsFile("diablo ii.exe.7.MDMP"));
  EXPECT_FALSE(IsCrashDumpsFile("Game.exe.812.hdmp"));
  EXPECT_FALSE(IsCrashDumpsFile("explorer.exe.1.dmp"));
}

struct Timed {
  int id;
  uint64_t write_time;
};

TEST(GatherRules, NewestKeptIsStableAmongEqualTimes) {
  std::vector<Timed> items = {{1, 5}, {2, 9}, {3, 5}, {4, 9}, {5, 1}, {6, 5}};
  KeepNewest(&items, 4);
  std::vector<int> ids;
  for (const Timed& t : items) ids.push_back(t.id);
  EXPECT_EQ(ids, (std::vector<int>{2, 4, 1, 3}));
  std::vector<Timed> few = {{1, 1}, {2, 2}};
  KeepNewest(&few, 40);
  EXPECT_EQ(few.size(), 2u);
  EXPECT_EQ(few[0].id, 2);
}

std::string Utf16(std::initializer_list<uint16_t> units, bool mark = true) {
  std::string bytes = mark ? std::string("\xFF\xFE") : std::string();
  for (uint16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

TEST(GatherRules, Utf16Reports) {
  EXPECT_EQ(DecodeUtf16Report(Utf16({'A', 0xE9, 0x20AC})), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(DecodeUtf16Report(Utf16({'A'}, false)), "A");
  // A surrogate pair is one code point; unpaired halves each give U+FFFD.
  EXPECT_EQ(DecodeUtf16Report(Utf16({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeUtf16Report(Utf16({0xDE00, 0xD83D, 'x', 0xD83D})), "\xEF\xBF\xBD\xEF\xBF\xBDx\xEF\xBF\xBD");
  // An odd last byte is not decoded; U+FFFD stands in for it.
  EXPECT_EQ(DecodeUtf16Report(Utf16({'o', 'k'}) + "Z"), "ok\xEF\xBF\xBD");
  EXPECT_EQ(DecodeUtf16Report("\xFF"), "\xEF\xBF\xBD");
  EXPECT_EQ(DecodeUtf16Report("\xFF\xFE"), "");
  EXPECT_EQ(DecodeUtf16Report(Utf16({0}, false)), std::string(1, '\0'));
}

TEST(GatherRules, ArchiveNaming) {
  EXPECT_EQ(SafeArchiveName("crash/a:b*c?d\"e<f>g|h\\i/j"), "crash/a_b_c_d_e_f_g_h_i/j");
  EXPECT_EQ(SafeArchiveName("game/caf\xC3\xA9\t.log"), "game/caf___.log");
  const std::string long_name = "game/" + std::string(200, 'x');
  EXPECT_EQ(SafeArchiveName(long_name), long_name.substr(0, 150));

  ArchiveNames names;
  EXPECT_EQ(names.Claim("game/X.log"), "game/X.log");
  EXPECT_EQ(names.Claim("game/x.LOG"), "game/x.LOG~2");
  EXPECT_EQ(names.Claim("game/x.log"), "game/x.log~3");
  // A name that looks like an earlier counted one pushes the counter on.
  EXPECT_EQ(names.Claim("game/x.log~4"), "game/x.log~4");
  EXPECT_EQ(names.Claim("game/X.log"), "game/X.log~5");
  EXPECT_EQ(names.Claim("game/y.log"), "game/y.log");
}

TEST(GatherRules, ReportLimit) {
  EXPECT_TRUE(FitsReport(0, kReportLimit));
  EXPECT_FALSE(FitsReport(1, kReportLimit));
  EXPECT_TRUE(FitsReport(kReportLimit - 10, 10));
  EXPECT_FALSE(FitsReport(kReportLimit - 10, 11));
  EXPECT_FALSE(FitsReport(kReportLimit + 1, 0));
}

}  // namespace
}  // namespace vantrel
