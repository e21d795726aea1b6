// The whole update run against a loopback realm site and a game folder on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "launcher/jobs.h"
#include "support/sha256.h"
#include "unit/sync/failing_new.h"
#include "unit/sync/realm_server.h"
#include "unit/sync/run_fixture.h"
#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RealmServer;
using testing::RunFixture;
using testing::TempFolder;
using testing::WriteFile;

struct GameFile {
  std::string path;
  std::string content;
};

struct Build {
  std::string sha256;
  uint64_t size;
};

std::string ManifestJson(const std::vector<GameFile>& files, std::optional<Build> launcher = std::nullopt) {
  std::string json = R"({"realm":"Test Realm","address":"play.test.realm:6112","news":"Ladder resets Friday",)";
  if (launcher) {
    json += R"("launcher":{"sha256":")" + launcher->sha256 + R"(","size":)" + std::to_string(launcher->size) + "},";
  }
  json += R"("files":[)";
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) json += ",";
    json += R"({"path":")" + files[i].path + R"(","sha256":")" + Sha256Text(files[i].content) + R"(","size":)" +
            std::to_string(files[i].content.size()) + "}";
  }
  return json + "]}";
}

std::vector<std::string> PartFilesUnder(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (item.path().extension() == ".part") found.push_back(item.path().string());
  }
  return found;
}

// Sets the write time back to an earlier value, so an in-place change keeps size and time.
void RestoreWriteTime(const std::string& path, const struct timespec& when) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, when};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec WriteTimeOf(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_mtim;
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    game = temp / "game";
    settings = temp / "settings";
    fs::create_directories(game);
    fs::create_directories(settings);
    WriteFile(game + "/Diablo II.exe", kGameProgram);
    run.context.realm_address = server.Address();
    run.context.settings_folder = settings;
    run.state.game_folder.Set(game);
  }

  // One run as the worker would start it; returns its finish lines.
  std::vector<std::string> Run() {
    RunFixture::Clear();
    run.state.busy = true;
    RunUpdate(run.context);
    return RunFixture::TracesOf("finish");
  }
  std::string RunOnce() {
    const std::vector<std::string> finishes = Run();
    EXPECT_EQ(finishes.size(), 1u);
    EXPECT_FALSE(run.state.busy);
    return finishes.empty() ? std::string() : finishes.back();
  }
  std::string Backslashed(std::string_view relative) {
    std::string full = game + "\\";
    for (char c : relative) full.push_back(c == '/' ? '\\' : c);
    return full;
  }

  static constexpr std::string_view kGameProgram = "MZ the game";
  TempFolder temp;
  RealmServer server;
  RunFixture run;
  std::string game;
  std::string settings;
};

TEST_F(UpdateRunTest, FirstRunFetchesEverythingAndAnUnchangedFolderIsNotReadAgain) {
  const std::vector<GameFile> files = {{"Diablo II.exe", std::string(kGameProgram)},
                                       {"Data/Local/x.dll", std::string(1000, 'x')},
                                       {"Patch_D2.mpq", std::string(1571864, 'p')}};
  server.SetManifest(ManifestJson(files));
  for (const GameFile& file : files) server.SetFile(file.path, file.content);

  EXPECT_EQ(RunOnce(), "Updated | 2 files from the realm, 1.5 MB. | ready=1");
  const std::vector<std::string> statuses = RunFixture::TracesOf("status");
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], "Asking the realm what's new | ");
  EXPECT_EQ(statuses[1], "Checking your files | Diablo II.exe (1 of 3)");
  EXPECT_EQ(statuses[2], "Downloading 1 of 2 | x.dll");
  EXPECT_EQ(statuses[3], "Downloading 2 of 2 | Patch_D2.mpq");
  EXPECT_EQ(ReadFile(game + "/Data/Local/x.dll"), files[1].content);
  EXPECT_EQ(ReadFile(game + "/Patch_D2.mpq"), files[2].content);
  EXPECT_TRUE(PartFilesUnder(game).empty());
  EXPECT_FALSE(fs::exists(game + "/realm-backup"));  // nothing of the player's was replaced
  EXPECT_TRUE(run.state.ready);
  EXPECT_EQ(run.state.realm_name.View(), "Test Realm");
  EXPECT_EQ(run.context.last_check_line.View(), "Updated. 2 files from the realm, 1.5 MB.");

  const std::string written = ReadFile(settings + "/written.txt");
  EXPECT_NE(written.find(Backslashed("Data/Local/x.dll") + "\r\n"), std::string::npos);
  EXPECT_NE(written.find(Backslashed("Patch_D2.mpq") + "\r\n"), std::string::npos);
  EXPECT_EQ(written.find("Diablo II.exe"), std::string::npos);
  const std::string hashes = ReadFile(settings + "/files.txt");
  EXPECT_NE(hashes.find(Sha256Text(files[1].content) + "\t1000\t"), std::string::npos);
  EXPECT_NE(hashes.find("\t" + Backslashed("Diablo II.exe") + "\n"), std::string::npos);

  // Changed in place without touching size or write time: only a read would notice.
  const std::string mpq = game + "/Patch_D2.mpq";
  const struct timespec when = WriteTimeOf(mpq);
  WriteFile(mpq, std::string(1571864, 'q'));
  RestoreWriteTime(mpq, when);
  EXPECT_EQ(RunOnce(), "Up to date | 3 files checked against the realm. | ready=1");
  EXPECT_EQ(RunFixture::TracesOf("status"), std::vector<std::string>{"Asking the realm what's new | "});
  EXPECT_EQ(server.FileRequests("Patch_D2.mpq"), 1);
}

TEST_F(UpdateRunTest, EveryDownloadOfARunReadsThroughOneBuffer) {
  if (!testing::CanFailAllocations()) GTEST_SKIP() << "the sanitizer owns operator new";
  std::vector<GameFile> files;
  for (int i = 0; i < 6; ++i) files.push_back({"Data/f" + std::to_string(i) + ".bin", std::string(100 + i, 'f')});
  server.SetManifest(ManifestJson(files));
  for (const GameFile& file : files) server.SetFile(file.path, file.content);
  testing::CountAllocationsOfAtLeast(262144);
  EXPECT_EQ(RunOnce(), "Updated | 6 files from the realm, 615 bytes. | ready=1");
  const uint64_t large = testing::CountedAllocations();
  testing::CountAllocationsOfAtLeast(0);
  EXPECT_EQ(large, 1u);  // nothing is hashed, so only the downloads' 256 KiB buffer
}

TEST_F(UpdateRunTest, PlayersOwnFileIsCopiedOnceAndLauncherFilesAreReplacedWithoutCopies) {
  WriteFile(game + "/Data/x.dll", "the player's own x");
  WriteFile(game + "/y.dll", "the player's own y");
  WriteFile(game + "/realm-backup/y.dll", "an older copy of y");
  server.SetManifest(ManifestJson({{"Data/x.dll", "realm x 1"}, {"y.dll", "realm y 1"}, {"z.dll", "realm z 1"}}));
  server.SetFile("Data/x.dll", "realm x 1");
  server.SetFile("y.dll", "realm y 1");
  server.SetFile("z.dll", "realm z 1");
  EXPECT_EQ(RunOnce(), "Updated | 3 files from the realm, 27 bytes. | ready=1");
  EXPECT_EQ(ReadFile(game + "/Data/x.dll"), "realm x 1");
  EXPECT_EQ(ReadFile(game + "/realm-backup/Data/x.dll"), "the player's own x");
  EXPECT_EQ(ReadFile(game + "/realm-backup/y.dll"), "an older copy of y");  // the first copy stays

  // The launcher wrote x.dll, so a later change of the player's is replaced without a copy.
  WriteFile(game + "/Data/x.dll", "the player edited the realm's x");
  WriteFile(game + "/z.dll", "the player edited the realm's z");
  server.SetManifest(ManifestJson({{"Data/x.dll", "realm x 2"}, {"y.dll", "realm y 1"}, {"z.dll", "realm z 2"}}));
  server.SetFile("Data/x.dll", "realm x 2");
  server.SetFile("z.dll", "realm z 2");
  EXPECT_EQ(RunOnce(), "Updated | 2 files from the realm, 18 bytes. | ready=1");
  EXPECT_EQ(ReadFile(game + "/Data/x.dll"), "realm x 2");
  EXPECT_EQ(ReadFile(game + "/z.dll"), "realm z 2");
  EXPECT_EQ(ReadFile(game + "/realm-backup/Data/x.dll"), "the player's own x");
  EXPECT_FALSE(fs::exists(game + "/realm-backup/z.dll"));
}

TEST_F(UpdateRunTest, ExtraBytesFailTheDownloadAndLeaveNoPartFile) {
  WriteFile(game + "/a.dll", "player's a");
  server.SetManifest(ManifestJson({{"a.dll", "realm a"}}));
  server.SetFile("a.dll", "realm a plus more");
  EXPECT_EQ(RunOnce(), "A download didn't match the realm's copy | a.dll: press Check files to try again. | ready=1");
  EXPECT_EQ(ReadFile(game + "/a.dll"), "player's a");
  EXPECT_TRUE(PartFilesUnder(game).empty());
  // The ledgers are kept before the failure is shown.
  EXPECT_NE(ReadFile(settings + "/files.txt").find(Sha256Text("player's a")), std::string::npos);
}

TEST_F(UpdateRunTest, AMissingFileOnTheSiteStopsTheRunAfterTheFilesBeforeIt) {
  server.SetManifest(ManifestJson({{"first.dll", "one"}, {"second.dll", "two"}, {"third.dll", "three"}}));
  server.SetFile("first.dll", "one");
  server.SetFile("third.dll", "three");
  EXPECT_EQ(RunOnce(),
            "The download stopped | second.dll: no answer; check your connection. Press Check files to try again. | "
            "ready=1");
  EXPECT_EQ(ReadFile(game + "/first.dll"), "one");
  EXPECT_FALSE(fs::exists(game + "/third.dll"));
  EXPECT_EQ(ReadFile(settings + "/written.txt"), Backslashed("first.dll") + "\r\n");
}

TEST_F(UpdateRunTest, ManifestFailuresKeepPlayUsableOnlyWhenTheGameIsThere) {
  struct Case {
    std::string body;
    int status;
    std::string finish;
  };
  const std::vector<Case> cases = {
      {"{}", 404, "The realm didn't answer properly | It said 404. You can still play with the files you have."},
      {"{}", 500, "The realm didn't answer properly | It said 500. You can still play with the files you have."},
      {std::string(4194305, ' '), 200, "Can't reach the realm right now | the realm sent more than expected"},
      {"[1]", 200,
       "The realm's answer didn't make sense | This launcher may be too old: download it again from the site."},
      {R"({"address":"a:1","files":[],"files":[]})", 200,
       "The realm's answer didn't make sense | This launcher may be too old: download it again from the site."},
      {R"({"address":"a:1","files":[{"path":"../x","sha256":")" + std::string(64, 'a') + R"(","size":1}]})", 200,
       "The realm's file list was refused | a file's path isn't one the launcher will write"},
  };
  for (const Case& c : cases) {
    server.SetManifest(c.body, c.status);
    EXPECT_EQ(RunOnce(), c.finish + " | ready=1") << c.status;
    EXPECT_EQ(run.state.realm_name.View(), "");  // nothing of a refused answer is shown
  }
  fs::remove(game + "/Diablo II.exe");
  server.SetManifest("{}", 500);
  EXPECT_EQ(RunOnce(), cases[1].finish + " | ready=0");
  EXPECT_FALSE(fs::exists(settings + "/files.txt"));  // the run never reached the ledgers
}

TEST_F(UpdateRunTest, AFolderWhereAGameFileBelongsCantBeKept) {
  fs::create_directories(game + "/Data/x.dll");
  server.SetManifest(ManifestJson({{"Data/x.dll", "realm x"}}));
  server.SetFile("Data/x.dll", "realm x");
  EXPECT_EQ(RunOnce(),
            "Your original couldn't be kept | x.dll wasn't replaced: there's no room for a copy in realm-backup, or "
            "the folder is read only. | ready=1");
  EXPECT_TRUE(fs::is_directory(game + "/Data/x.dll"));
  EXPECT_FALSE(fs::exists(game + "/realm-backup/Data/x.dll"));
  EXPECT_EQ(server.FileRequests("Data/x.dll"), 0);
}

TEST_F(UpdateRunTest, APlainFileWhereAFolderBelongsStopsTheRunButKeepsTheLedgers) {
  WriteFile(game + "/Data", "not a folder");
  server.SetManifest(ManifestJson({{"Diablo II.exe", std::string(kGameProgram)}, {"Data/x.dll", "realm x"}}));
  server.SetFile("Data/x.dll", "realm x");
  EXPECT_EQ(RunOnce(), "A folder couldn't be made | " + game + "\\Data | ready=1");
  EXPECT_EQ(ReadFile(game + "/Data"), "not a folder");
  // What the run hashed before it stopped is not lost.
  EXPECT_NE(ReadFile(settings + "/files.txt").find(Backslashed("Diablo II.exe")), std::string::npos);
}

TEST_F(UpdateRunTest, TheGameMustBeWhereTheSettingsSay) {
  server.SetManifest(R"({"address":"a:1","start":{"exe":"Game/D2.exe"}})");
  EXPECT_EQ(RunOnce(), "The game isn't in that folder | There's no Game/D2.exe in " + game +
                           ". Pick the right folder in Settings. | ready=0");
  EXPECT_EQ(run.state.game_program.View(), "Game/D2.exe");  // published before the folder was looked at

  run.state.game_folder.Clear();
  EXPECT_EQ(RunOnce(),
            "Where is your game? | Choose the folder with Diablo II.exe in it: Settings, Change folder. | ready=0");

  run.context.realm_address.clear();
  EXPECT_EQ(RunOnce(), "This launcher doesn't know its realm | Download it again from your realm's site. | ready=0");
  EXPECT_EQ(server.ManifestRequests(), 2);
}

TEST_F(UpdateRunTest, AnEmptyFileListIsUpToDate) {
  server.SetManifest(R"({"address":"a:1"})");
  EXPECT_EQ(RunOnce(), "Up to date | 0 files checked against the realm. | ready=1");
  EXPECT_EQ(ReadFile(settings + "/written.txt"), "");
}

TEST_F(UpdateRunTest, RunningOutOfMemoryAnywhereStillEndsTheRun) {
  if (!testing::CanFailAllocations()) GTEST_SKIP() << "the sanitizer owns operator new";
  server.SetManifest(
      ManifestJson({{"Diablo II.exe", std::string(kGameProgram)}, {"a.dll", "realm a"}, {"b.dll", "realm b"}}));
  server.SetFile("a.dll", "realm a");
  server.SetFile("b.dll", "realm b");
  // Fail the 1st allocation of a run, then the 2nd, and so on, until a run gets through.
  for (uint64_t nth = 1;; ++nth) {
    fs::remove_all(game + "/realm-backup");
    fs::remove(game + "/a.dll");
    WriteFile(game + "/b.dll", "player's b");
    fs::remove(settings + "/files.txt");
    fs::remove(settings + "/written.txt");
    RunFixture::Clear();
    run.state.busy = true;
    testing::FailNthAllocation(nth);
    RunUpdate(run.context);
    const bool failed = testing::AllocationFailed();
    testing::FailNthAllocation(0);
    ASSERT_FALSE(run.state.busy) << "allocation " << nth;
    ASSERT_EQ(RunFixture::TracesOf("finish").size(), 1u) << "allocation " << nth;
    ASSERT_TRUE(PartFilesUnder(game).empty()) << "allocation " << nth << " " << RunFixture::TracesOf("finish").back();
    if (!failed) {
      EXPECT_EQ(RunFixture::TracesOf("finish").back(), "Updated | 2 files from the realm, 14 bytes. | ready=1");
      EXPECT_GT(nth, 50u);  // the run does allocate; a count this low means the hook never armed
      break;
    }
    ASSERT_LT(nth, 100000u);
  }
}

// The self-update with small shell scripts standing in for the launcher's builds: each writes
// its arguments and its current folder to "started.txt" beside itself.
class SelfUpdateTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    own = temp / "Vantrel Launcher";
    WriteFile(own, kRunningBuild);
    fs::permissions(own, fs::perms::owner_all);
    run.context.own_path = own;
  }
  void NameNewBuild() {
    server.SetLauncher(std::string(kNewBuild));
    server.SetManifest(ManifestJson({}, Build{Sha256Text(kNewBuild), kNewBuild.size()}));
  }
  std::string WaitForStart() {
    const std::string marker = temp / "started.txt";
    for (int i = 0; i < 500 && ReadFile(marker).find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ReadFile(marker);
  }
  bool QuitPosted() {
    for (uint32_t message : RunFixture::Posts()) {
      if (message == kQuitMessage) return true;
    }
    return false;
  }

  static constexpr std::string_view kRunningBuild = "#!/bin/sh\n# the running build\nexit 0\n";
  static constexpr std::string_view kNewBuild =
      "#!/bin/sh\n# the new build\nprintf '%s|' \"$@\" > started.tmp; pwd >> started.tmp; mv started.tmp started.txt\n";
  std::string own;
};

TEST_F(SelfUpdateTest, SwapsTheBuildsStartsTheNewOneAndEndsWithoutAFinish) {
  NameNewBuild();
  // A stale ".new" from an earlier attempt is overwritten; being executable lets the native
  // stand-in start, as any file can on Windows.
  WriteFile(own + ".new", "stale");
  fs::permissions(own + ".new", fs::perms::owner_all);
  EXPECT_TRUE(Run().empty());
  EXPECT_TRUE(QuitPosted());
  EXPECT_TRUE(run.state.busy);  // this process starts nothing more
  EXPECT_TRUE(RunFixture::Traced("[vantrel] status: Updating the launcher | "));
  EXPECT_EQ(ReadFile(own), kNewBuild);
  EXPECT_EQ(ReadFile(own + ".old"), kRunningBuild);
  EXPECT_FALSE(fs::exists(own + ".new"));
  EXPECT_EQ(WaitForStart(), "--updated|" + temp.path() + "\n");
  EXPECT_FALSE(fs::exists(game + "/realm-backup"));
}

TEST_F(SelfUpdateTest, ANewBuildThatWontStartIsRolledBack) {
  NameNewBuild();  // downloaded without the execute bit, so it can't be started here
  EXPECT_EQ(RunOnce(), "Up to date | 0 files checked against the realm. | ready=1");
  EXPECT_FALSE(QuitPosted());
  EXPECT_EQ(ReadFile(own), kRunningBuild);
  EXPECT_FALSE(fs::exists(own + ".new"));
  EXPECT_FALSE(fs::exists(own + ".old"));
  EXPECT_EQ(server.LauncherRequests(), 1);
}

TEST_F(SelfUpdateTest, AFailedDownloadIsAPassingNoticeAndTheRunGoesOn) {
  server.SetManifest(ManifestJson({{"a.dll", "realm a"}}, Build{Sha256Text(kNewBuild), kNewBuild.size()}));
  server.SetFile("a.dll", "realm a");
  EXPECT_EQ(RunOnce(), "Updated | 1 file from the realm, 7 bytes. | ready=1");
  const std::vector<std::string> statuses = RunFixture::TracesOf("status");
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(statuses[1], "Updating the launcher | ");
  EXPECT_EQ(statuses[2], "The new launcher didn't download | Carrying on with this one.");
  EXPECT_EQ(ReadFile(own), kRunningBuild);
  EXPECT_FALSE(fs::exists(own + ".new"));
}

TEST_F(SelfUpdateTest, ComparesAgainOnlyAfterTheFirstRunOfAnUpdatedStart) {
  NameNewBuild();
  WriteFile(own + ".old", "left from the last update");
  run.context.started_after_update = true;
  EXPECT_EQ(RunOnce(), "Up to date | 0 files checked against the realm. | ready=1");
  EXPECT_FALSE(run.context.started_after_update);
  EXPECT_FALSE(fs::exists(own + ".old"));
  EXPECT_EQ(server.LauncherRequests(), 0);

  // The next run compares and fetches (it can't start the build here, so it rolls back).
  RunOnce();
  EXPECT_EQ(server.LauncherRequests(), 1);

  // A launcher already on the named build fetches nothing.
  WriteFile(own, kNewBuild);
  RunOnce();
  EXPECT_EQ(server.LauncherRequests(), 1);
  EXPECT_FALSE(RunFixture::Traced("Updating the launcher"));
}

TEST_F(SelfUpdateTest, WithoutANamedBuildOrAnOwnPathNothingIsFetched) {
  WriteFile(own + ".old", "left from the last update");
  server.SetManifest(ManifestJson({}));
  EXPECT_EQ(RunOnce(), "Up to date | 0 files checked against the realm. | ready=1");
  EXPECT_FALSE(fs::exists(own + ".old"));  // cleaned up even when no build is named
  EXPECT_FALSE(fs::exists(own + ".new"));

  // A launcher that doesn't know its own path can't swap itself, so it doesn't download.
  NameNewBuild();
  run.context.own_path.clear();
  EXPECT_EQ(RunOnce(), "Up to date | 0 files checked against the realm. | ready=1");
  EXPECT_EQ(server.LauncherRequests(), 0);
  EXPECT_FALSE(fs::exists(".new"));
}

TEST_F(SelfUpdateTest, RunningOutOfMemoryNeverLeavesTheLauncherWithoutItsName) {
  if (!testing::CanFailAllocations()) GTEST_SKIP() << "the sanitizer owns operator new";
  NameNewBuild();
  for (uint64_t nth = 1;; ++nth) {
    WriteFile(own, kRunningBuild);
    fs::remove(own + ".old");
    WriteFile(own + ".new", "stale");
    fs::permissions(own + ".new", fs::perms::owner_all);
    RunFixture::Clear();
    run.state.busy = true;
    testing::FailNthAllocation(nth);
    RunUpdate(run.context);
    const bool failed = testing::AllocationFailed();
    testing::FailNthAllocation(0);
    const std::string now = ReadFile(own);
    ASSERT_TRUE(now == kRunningBuild || now == kNewBuild)
        << "allocation " << nth << ": " << now << " old=" << fs::exists(own + ".old")
        << " new=" << fs::exists(own + ".new");
    if (QuitPosted()) {
      ASSERT_EQ(now, kNewBuild) << "allocation " << nth;
    } else {
      ASSERT_FALSE(run.state.busy) << "allocation " << nth;
      ASSERT_EQ(RunFixture::TracesOf("finish").size(), 1u) << "allocation " << nth;
    }
    if (!failed) {
      EXPECT_TRUE(QuitPosted());
      EXPECT_GT(nth, 20u);
      break;
    }
    ASSERT_LT(nth, 100000u);
  }
  WaitForStart();  // let the last started stand-in finish before the folder goes
}

}  // namespace
}  // namespace vantrel
