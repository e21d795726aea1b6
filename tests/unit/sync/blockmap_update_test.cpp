// Large files brought up to date by their block maps, against a loopback site that can answer
// ranges wrongly on purpose: patch, repair and resume fetch only what they lack, and every bad
// map or answer ends in the right file, or in today's failure texts with nothing wrong placed.
#include "sync/blockmap_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "blockmap/blockmap.h"
#include "launcher/jobs.h"
#include "random_bytes.h"
#include "support/sha256.h"
#include "sync/partials.h"
#include "unit/sync/realm_server.h"
#include "unit/sync/run_fixture.h"
#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::RandomBytes;
using testing::ReadFile;
using testing::RealmServer;
using testing::RunFixture;
using testing::TempFolder;
using testing::WriteFile;
using RangeMode = RealmServer::RangeMode;

constexpr char kArchive[] = "Data/patch.mpq";

std::string MapOf(const std::string& bytes) {
  BlockmapBuilder builder;
  builder.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  Blockmap map;
  std::string sha;
  builder.Finish(&map, &sha);
  return EncodeBlockmap(map);
}

class BlockmapUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    game = temp / "game";
    settings = temp / "settings";
    fs::create_directories(settings);
    WriteFile(game + "/Diablo II.exe", "MZ");
    run.context.realm_address = server.Address();
    run.context.settings_folder = settings;
    run.state.game_folder.Set(game);
    target = RandomBytes(6 << 20, 1);
    Publish(MapOf(target));
  }

  // The realm offers `target` with `map` as its block map (named with its own size and hash
  // unless given others).
  void Publish(const std::string& map, std::string map_json = "") {
    if (map_json.empty()) {
      map_json = R"({"size":)" + std::to_string(map.size()) + R"(,"sha256":")" + Sha256Text(map) + R"("})";
    }
    server.SetManifest(R"({"address":"play.test","files":[{"path":"Diablo II.exe","sha256":")" + Sha256Text("MZ") +
                       R"(","size":2},{"path":")" + std::string(kArchive) + R"(","sha256":")" + Sha256Text(target) +
                       R"(","size":)" + std::to_string(target.size()) + R"(,"blockmap":)" + map_json + "}]}");
    server.SetFile(kArchive, target);
    server.SetBlockmap(Sha256Text(target), map);
  }
  std::string Local() const { return game + "/Data/patch.mpq"; }
  std::string RunOnce() {
    RunFixture::Clear();
    run.state.busy = true;
    RunUpdate(run.context);
    const std::vector<std::string> finishes = RunFixture::TracesOf("finish");
    return finishes.empty() ? std::string() : finishes.back();
  }
  void ExpectUpdatedByRanges(const char* what) {
    EXPECT_EQ(RunOnce(), "Updated | 1 file from the realm, 6.0 MB. | ready=1") << what;
    EXPECT_TRUE(ReadFile(Local()) == target) << what;
    EXPECT_FALSE(fs::exists(Local() + ".part")) << what;
    for (const std::string& range : server.Ranges(kArchive)) {
      EXPECT_EQ(range.find(','), std::string::npos) << what << ": " << range;  // never several ranges at once
    }
  }

  TempFolder temp;
  RealmServer server;
  RunFixture run;
  std::string game;
  std::string settings;
  std::string target;
};

TEST_F(BlockmapUpdateTest, APatchFetchesAboutTheNewBytesAndKeepsTheBackupAsToday) {
  std::string old_copy = target;
  old_copy.erase(1000003, 100003);                          // the new file has these bytes inserted
  old_copy.replace(4 << 20, 65536, RandomBytes(65536, 2));  // and these overwritten
  WriteFile(Local(), old_copy);
  ExpectUpdatedByRanges("patch");
  EXPECT_TRUE(ReadFile(game + "/realm-backup/Data/patch.mpq") == old_copy);
  EXPECT_EQ(server.BlockmapRequests(), 1);
  const std::vector<std::string> ranges = server.Ranges(kArchive);
  EXPECT_EQ(ranges.size(), 2u);
  EXPECT_GE(server.BodyBytesSent(), 100003u + 65536);
  EXPECT_LE(server.BodyBytesSent(), 100003u + 65536 + 4 * 65536);
}

TEST_F(BlockmapUpdateTest, ADamagedCopyHealsByItsDamagedChunks) {
  std::string damaged = target;
  for (int spot = 0; spot < 5; ++spot) damaged.replace(100000 + spot * 1200000, 512, 512, '\0');
  WriteFile(Local(), damaged);
  ExpectUpdatedByRanges("repair");
  EXPECT_EQ(server.Ranges(kArchive).size(), 5u);
  EXPECT_LE(server.BodyBytesSent(), 5u * 2 * 65536);
}

// A download cut short left a partial; its chunks are checked where they lie, so a damaged one
// is fetched again, and the progress counts the kept bytes as done and reaches the file's size.
TEST_F(BlockmapUpdateTest, ALeftoverPartIsContinuedAfterItsChunksAreCheckedInPlace) {
  ManifestFile entry;
  entry.path = kArchive;
  entry.size = target.size();
  entry.sha256 = Sha256Text(target);
  std::string partial = target.substr(0, target.size() * 3 / 4);
  partial[2 << 20] ^= 1;
  std::string kept_at = PartialPath(settings, entry);
  std::replace(kept_at.begin(), kept_at.end(), '\\', '/');
  WriteFile(kept_at, partial);
  ExpectUpdatedByRanges("resume");
  const std::vector<std::string> ranges = server.Ranges(kArchive);
  ASSERT_EQ(ranges.size(), 2u) << ::testing::PrintToString(ranges);
  EXPECT_LE(server.BodyBytesSent(), target.size() / 4 + 3 * 65536);

  // The same, called on its own: progress over the whole file, nothing counted twice.
  fs::remove(Local());
  WriteFile(Local() + ".part", partial);
  entry.has_blockmap = true;
  const std::string map = MapOf(target);
  entry.blockmap_size = map.size();
  entry.blockmap_sha256 = Sha256Text(map);
  SessionPtr session;
  ASSERT_EQ(OpenSession(&session), HttpError::kNone);
  uint64_t reported = 0;
  const BlockmapOutcome outcome =
      UpdateByBlockmap(*session, server.Address(), server.Address() + "/api/launcher/file/" + kArchive, entry, Local(),
                       Local() + ".part", true, [&reported](uint64_t bytes) {
                         reported += bytes;
                         return true;
                       });
  EXPECT_TRUE(outcome.placed);
  EXPECT_EQ(outcome.reported, target.size());
  EXPECT_EQ(reported, target.size());
  EXPECT_TRUE(ReadFile(Local() + ".part") == target);
}

TEST_F(BlockmapUpdateTest, ABadMapMeansAWholeDownload) {
  const std::string good = MapOf(target);
  auto with = [&good](size_t at, std::string bytes) {
    std::string changed = good;
    changed.replace(at, bytes.size(), bytes);
    return changed;
  };
  const std::string last_length = good.substr(good.size() - 20, 4);
  struct Case {
    const char* what;
    std::string map;
    std::string map_json;
  } cases[] = {
      {"too large", good, R"({"size":8388609,"sha256":")" + Sha256Text(good) + R"("})"},
      {"wrong hash", good, R"({"size":)" + std::to_string(good.size()) + R"(,"sha256":")" + Sha256Text("x") + R"("})"},
      {"lengths that don't sum", with(good.size() - 20, std::string("\x01\x00\x00\x00", 4)), ""},
      {"zero-length chunk", with(64, std::string(4, '\0')), ""},
      {"oversize chunk", with(64, std::string("\x01\x00\x01\x00", 4)), ""},
      {"count that doesn't match", good.substr(0, good.size() - 20), ""},
      {"another file's map", MapOf(target.substr(1)), ""},
  };
  for (const Case& c : cases) {
    WriteFile(Local(), RandomBytes(target.size(), 3));
    const uint64_t sent = server.BodyBytesSent();
    Publish(c.map, c.map_json);
    ExpectUpdatedByRanges(c.what);
    EXPECT_EQ(server.BodyBytesSent() - sent, target.size()) << c.what;
    EXPECT_EQ(server.Ranges(kArchive).back(), "") << c.what;
  }
}

TEST_F(BlockmapUpdateTest, ASiteThatAnswersRangesWronglyStillGivesTheRightFile) {
  std::string old_copy = target;
  for (int spot = 0; spot < 4; ++spot) old_copy.replace(300000 + spot * 1500000, 4096, 4096, 'o');
  struct Case {
    const char* what;
    RangeMode mode;
    int at;
  } cases[] = {
      {"200 to the first range: taken as the whole file", RangeMode::kIgnore, 0},
      {"200 to a later range", RangeMode::kIgnore, 2},
      {"416", RangeMode::kNotSatisfiable, 1},
      {"a wrong Content-Range", RangeMode::kWrongRange, 0},
      {"a short body", RangeMode::kShortBody, 3},
      {"other bytes", RangeMode::kOtherBytes, 1},
  };
  for (const Case& c : cases) {
    WriteFile(Local(), old_copy);
    server.SetRangeMode(c.mode, c.at);
    ExpectUpdatedByRanges(c.what);
  }
  // Ignoring Range costs the file once, not twice.
  const uint64_t sent = server.BodyBytesSent();
  WriteFile(Local(), old_copy);
  server.SetRangeMode(RangeMode::kIgnore, 0);
  ExpectUpdatedByRanges("200 again");
  EXPECT_EQ(server.BodyBytesSent() - sent, target.size());
}

// A site whose bytes aren't the manifest's fails as today, and the player's file stays.
TEST_F(BlockmapUpdateTest, ASiteWithOtherBytesEndsInTodaysFailureWithNothingPlaced) {
  std::string old_copy = target;
  old_copy.replace(300000, 4096, 4096, 'o');
  WriteFile(Local(), old_copy);
  std::string wrong = target;
  wrong[300000 + 100] ^= 1;
  server.SetFile(kArchive, wrong);
  EXPECT_EQ(RunOnce(),
            "A download didn't match the realm's copy | patch.mpq: press Check files to try again. | ready=1");
  EXPECT_TRUE(ReadFile(Local()) == old_copy);
  EXPECT_FALSE(fs::exists(Local() + ".part"));
}

// The local file changes after it was indexed: a chunk that no longer reads as indexed is
// fetched instead of copied.
TEST_F(BlockmapUpdateTest, ALocalFileChangingWhileReadStillGivesTheRightFile) {
  std::string old_copy = target;
  old_copy.replace(5 << 20, 4096, 4096, 'o');
  WriteFile(Local(), old_copy);
  ManifestFile entry;
  entry.path = kArchive;
  entry.size = target.size();
  entry.sha256 = Sha256Text(target);
  entry.has_blockmap = true;
  const std::string map = MapOf(target);
  entry.blockmap_size = map.size();
  entry.blockmap_sha256 = Sha256Text(map);
  SessionPtr session;
  ASSERT_EQ(OpenSession(&session), HttpError::kNone);
  bool changed = false;
  const BlockmapOutcome outcome =
      UpdateByBlockmap(*session, server.Address(), server.Address() + "/api/launcher/file/" + kArchive, entry, Local(),
                       Local() + ".part", false, [&](uint64_t) {
                         if (!changed) {
                           std::string other = old_copy;
                           other.replace(3 << 20, 262144, RandomBytes(262144, 9));
                           WriteFile(Local(), other);
                         }
                         changed = true;
                         return true;
                       });
  EXPECT_TRUE(changed);
  EXPECT_TRUE(outcome.placed);
  EXPECT_TRUE(ReadFile(Local() + ".part") == target);
  EXPECT_GT(server.Ranges(kArchive).size(), 10u);  // the changed chunks came one by one
}

}  // namespace
}  // namespace vantrel
