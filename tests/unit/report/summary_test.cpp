#include "report/summary.h"

#include <gtest/gtest.h>

#include "report/anonymize.h"

namespace vantrel {
namespace {

TEST(ReportSummary, EightLines) {
  SummaryFields f;
  f.launcher_line = "Launcher 1.1.0 abc";
  f.realm_name = "Ember";
  f.realm_game_address = "play.ember.example";
  f.file_set = "r42";
  f.game_folder = "C:\\Games\\D2";
  f.game_program = "Game.exe";
  f.game_arguments = "-skiptobnet";
  f.windowed = true;
  f.last_check_line = "Up to date. ";
  f.entry_count = 5;
  EXPECT_EQ(ComposeReportSummary(f, "Windows 10.0 build 19045"),
            "Launcher 1.1.0 abc\nWindows 10.0 build 19045\nRealm: Ember at play.ember.example\nFile set: r42\n"
            "Game folder: C:\\Games\\D2\nStarts: Game.exe -skiptobnet -w\nLast check: Up to date. \n"
            "Other files in this upload: 5\n");
}

TEST(ReportSummary, EmptyFieldsKeepTheirLabels) {
  SummaryFields f;
  f.game_program = "Diablo II.exe";
  f.windowed = true;
  EXPECT_EQ(ComposeReportSummary(f, "Windows"),
            "\nWindows\nRealm:  at \nFile set: \nGame folder: \nStarts: Diablo II.exe  -w\nLast check: \n"
            "Other files in this upload: 0\n");
  f.windowed = false;
  EXPECT_NE(ComposeReportSummary(f, "Windows").find("Starts: Diablo II.exe \n"), std::string::npos);
}

TEST(ReportSummary, WindowsVersionLine) {
  const os::OsVersion version{10, 0, 19045};
  EXPECT_EQ(WindowsVersionText(&version), "Windows 10.0 build 19045");
  EXPECT_EQ(WindowsVersionText(nullptr), "Windows");
}

TEST(ReportSummary, ProfileNameInGameFolderIsBlanked) {
  SummaryFields f;
  f.game_folder = "C:\\Users\\Mira Lund\\Games\\Diablo II";
  f.realm_game_address = "192.168.0.10";
  std::string out;
  ASSERT_TRUE(Anonymize(ComposeReportSummary(f, "Windows"), {}, {}, &out));
  EXPECT_NE(out.find("Game folder: C:\\Users\\[user]\\Games\\Diablo II\n"), std::string::npos);
  EXPECT_NE(out.find("Realm:  at [local address]\n"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
