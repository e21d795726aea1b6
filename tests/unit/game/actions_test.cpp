// The window-thread actions against the Linux seam: a real program started from a real game
// folder; Linux has no registry or clipboard, so those read as missing and failing.
#include "game/actions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/debug_output.h"

namespace vantrel {
namespace {

std::vector<std::string>* g_trace = nullptr;
void RecordTrace(std::string_view line) {
  if (g_trace != nullptr) g_trace->emplace_back(line);
}

class GameActions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-game-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    context_.state = &state_;
    g_trace = &trace_;
    SetDebugHook(RecordTrace);
    state_.game_folder.Set(folder_);
    state_.game_program.Set("Diablo II.exe");
    state_.realm_name.Set("Vantrel");
  }
  void TearDown() override {
    SetDebugHook(nullptr);
    g_trace = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // A stand-in game: records its arguments and current folder, then exits.
  void WriteStandIn(const std::string& name) {
    WriteProgram(name,
                 "#!/bin/sh\n{ printf '%s\\n' \"$@\"; pwd; } > \"$(dirname \"$0\")/record.tmp\"\n"
                 "mv \"$(dirname \"$0\")/record.tmp\" \"$(dirname \"$0\")/record.txt\"\n");
  }
  void WriteProgram(const std::string& name, const std::string& content) {
    std::ofstream(folder_ + "/" + name, std::ios::binary) << content;
    chmod((folder_ + "/" + name).c_str(), 0755);
  }
  std::string WaitForRecord() {
    const std::string path = folder_ + "/record.txt";
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string Headline() { return state_.status_headline.Copy(); }
  std::string Detail() { return state_.status_detail.Copy(); }

  std::string folder_;
  LauncherState state_;
  WorkerContext context_;
  std::vector<std::string> trace_;
};

TEST_F(GameActions, PlayWithoutGatewayCheckStartsTheGameInItsFolder) {
  WriteStandIn("Diablo II.exe");
  state_.game_arguments.Set("  -direct   -txt ");
  state_.windowed = true;
  state_.gateway_missing = true;
  PlayAction(context_);
  EXPECT_EQ(Headline(), "The game is starting");
  EXPECT_EQ(Detail(), "If it crashes, come back here and press Send logs.");
  EXPECT_FALSE(state_.gateway_missing);
  EXPECT_EQ(WaitForRecord(), "-direct\n-txt\n-w\n" + std::filesystem::canonical(folder_).string() + "\n");
  ASSERT_EQ(trace_.size(), 1u);
  EXPECT_EQ(trace_[0], "[vantrel] ui: The game is starting | If it crashes, come back here and press Send logs.");
}

TEST_F(GameActions, PlayReportsAMissingOrUnrunnableProgramWithItsReason) {
  state_.gateway_missing = true;
  PlayAction(context_);
  EXPECT_EQ(Headline(), "The game didn't start");
  EXPECT_EQ(Detail(), "Diablo II.exe: Windows can't find it (Windows error 2). In " + folder_);
  EXPECT_FALSE(state_.gateway_missing);

  WriteProgram("Diablo II.exe", "this is not a program\n");
  PlayAction(context_);
  EXPECT_EQ(Detail(), "Diablo II.exe: it isn't a program this Windows can run (Windows error 193). In " + folder_);
  ASSERT_EQ(trace_.size(), 2u);
  EXPECT_EQ(trace_[1], "[vantrel] ui: The game didn't start | " + Detail());
}

TEST_F(GameActions, AnUnconvertibleTextIsReportedAsErrorEightWithoutStarting) {
  WriteStandIn("Diablo II.exe");
  state_.game_arguments.Set("-name \xFF");
  PlayAction(context_);
  EXPECT_EQ(Headline(), "The game didn't start");
  EXPECT_EQ(Detail(), "Diablo II.exe wouldn't start (Windows error 8). In " + folder_);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/record.txt"));
}

TEST_F(GameActions, AnUnreadableGatewayListSendsThePlayerToTheGatewayFile) {
  WriteStandIn("Diablo II.exe");
  state_.realm_game_address.Set("play.vantrel.example");
  PlayAction(context_);
  EXPECT_EQ(Headline(), "Add the realm to your gateways first");
  EXPECT_EQ(Detail(), "Once only: get the gateway file, open it and say yes when Windows asks. Then press Play again.");
  EXPECT_TRUE(state_.gateway_missing);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/record.txt"));
  ASSERT_EQ(trace_.size(), 1u);
}

TEST_F(GameActions, PlayWithoutAGameFolderOnlyOpensTheChooser) {
  state_.game_folder.Clear();
  state_.status_headline.Set("Up to date");
  PlayAction(context_);
  EXPECT_EQ(Headline(), "Up to date");
  EXPECT_TRUE(trace_.empty());
}

TEST_F(GameActions, GatewayFileExplainsItselfAndLeavesTheFlag) {
  context_.realm_address = "http://127.0.0.1:1";
  state_.gateway_missing = true;
  GetGatewayFile(context_);
  EXPECT_EQ(Headline(), "Open the gateway file");
  EXPECT_EQ(Detail(), "Your browser is bringing it down. Open it, say yes to adding Vantrel, then press Play.");
  EXPECT_TRUE(state_.gateway_missing);
  ASSERT_EQ(trace_.size(), 1u);
  EXPECT_EQ(trace_[0], "[vantrel] ui: Open the gateway file | " + Detail());
}

TEST_F(GameActions, AFailedCopySaysSoAndShowsTheLink) {
  state_.report_link.Set("http://realm.example/r/abc");
  state_.status_headline.Set("Sent");
  CopyReportLink(context_);
  EXPECT_EQ(Headline(), "The link wasn't copied");
  EXPECT_NE(Detail().find("http://realm.example/r/abc"), std::string::npos);
  ASSERT_EQ(trace_.size(), 1u);
  EXPECT_EQ(trace_[0], "[vantrel] ui: The link wasn't copied | " + Detail());
}

}  // namespace
}  // namespace vantrel
