#include "sync/file_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/sha256.h"
#include "sync/partials.h"
#include "unit/sync/failing_new.h"
#include "unit/sync/realm_server.h"
#include "unit/sync/run_fixture.h"
#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

using testing::ReadFile;
using testing::RunFixture;
using testing::TempFolder;
using testing::WriteFile;

ManifestFile Entry(std::string path, std::string_view content) {
  ManifestFile entry;
  entry.path = std::move(path);
  entry.sha256 = Sha256Text(content);
  entry.size = content.size();
  return entry;
}

TEST(MakeFolders, CreatesEveryMissingLevelAndNamesTheOneInTheWay) {
  TempFolder temp;
  std::string failed;
  ASSERT_TRUE(MakeFolders(temp.path() + "\\a\\b/c", &failed));
  EXPECT_TRUE(std::filesystem::is_directory(temp / "a/b/c"));
  // Existing levels and a trailing separator are fine.
  EXPECT_TRUE(MakeFolders(temp.path() + "\\a\\b\\", &failed));

  WriteFile(temp / "a/plain", "x");
  EXPECT_FALSE(MakeFolders(temp.path() + "\\a\\plain\\deeper\\still", &failed));
  EXPECT_EQ(failed, temp.path() + "\\a\\plain");
  EXPECT_FALSE(std::filesystem::exists(temp / "a/plain/deeper"));
}

TEST(MakeFolders, FolderPartStopsAtTheLastSeparator) {
  EXPECT_EQ(FolderPart("C:\\D2\\Data/x.dll"), "C:\\D2\\Data");
  EXPECT_EQ(FolderPart("x.dll"), "");
}

TEST(GamePresent, NeedsAFolderAndTheProgramFileInIt) {
  TempFolder temp;
  RunFixture run;
  EXPECT_FALSE(GamePresent(run.state));  // no folder chosen
  run.state.game_folder.Set(temp.path());
  EXPECT_FALSE(GamePresent(run.state));
  std::filesystem::create_directory(temp / "Diablo II.exe");  // a folder is no program
  EXPECT_FALSE(GamePresent(run.state));
  run.state.game_program.Set("Game/D2.exe");
  WriteFile(temp / "Game/D2.exe", "MZ");
  EXPECT_TRUE(GamePresent(run.state));
  run.state.game_program.Clear();  // nothing published yet: the usual program name
  std::filesystem::remove(temp / "Diablo II.exe");
  WriteFile(temp / "Diablo II.exe", "MZ");
  EXPECT_TRUE(GamePresent(run.state));
}

class CheckFilesTest : public ::testing::Test {
 protected:
  TempFolder temp;
  RunFixture run;
  HashLedger hashes;

  std::string Full(std::string_view path) { return FullGamePath(temp.path(), path); }
  void RememberAsIs(std::string_view path, std::string_view hash) {
    const os::FileFacts facts = os::GetFileFacts(Full(path));
    RecordHashed(hashes, Full(path), facts.size, facts.write_time, hash);
  }
};

TEST_F(CheckFilesTest, ListsMissingAndDifferentFilesInManifestOrder) {
  WriteFile(temp / "same.txt", "same");
  WriteFile(temp / "Data/changed.dll", "old bytes");
  const std::vector<ManifestFile> files = {Entry("missing.mpq", "12345"), Entry("same.txt", "same"),
                                           Entry("Data/changed.dll", "new bytes!")};
  const DownloadList list = CheckFiles(run.context, temp.path(), files, hashes);
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].path, "missing.mpq");
  EXPECT_EQ(list.entries[1].path, "Data/changed.dll");
  EXPECT_EQ(list.total_size, 15u);
  // Only hashed files are announced, with their place in the whole manifest.
  const std::vector<std::string> statuses = RunFixture::TracesOf("status");
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "Checking your files | same.txt (2 of 3)");
  EXPECT_EQ(statuses[1], "Checking your files | changed.dll (3 of 3)");
  EXPECT_FLOAT_EQ(run.state.progress, 2.0f / 3.0f);
  // Both hashed files are remembered with their real hash; the missing one isn't.
  EXPECT_EQ(hashes.at(Full("same.txt")).hash, Sha256Text("same"));
  EXPECT_EQ(hashes.at(Full("Data/changed.dll")).hash, Sha256Text("old bytes"));
  EXPECT_EQ(hashes.count(Full("missing.mpq")), 0u);
}

TEST_F(CheckFilesTest, ManyFilesHashedAsideKeepManifestOrderNoticesAndLedger) {
  // Far more files than the hashing thread may fall behind by, missing, changed, current and
  // known to the ledger in turn.
  std::vector<ManifestFile> files;
  std::vector<std::string> expected;
  size_t hashed = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".bin";
    files.push_back(Entry(name, name));
    if (i % 4 == 0) {
      expected.push_back(name);  // missing
      continue;
    }
    WriteFile(temp / name, i % 4 == 1 ? name + "?" : name);
    if (i % 4 == 1) expected.push_back(name);  // changed
    if (i % 4 == 3) {
      RememberAsIs(name, Sha256Text(name));  // known: not read
    } else {
      ++hashed;
    }
  }
  const DownloadList list = CheckFiles(run.context, temp.path(), files, hashes);
  std::vector<std::string> listed;
  for (const ManifestFile& entry : list.entries) listed.push_back(entry.path);
  EXPECT_EQ(listed, expected);
  const std::vector<std::string> statuses = RunFixture::TracesOf("status");
  ASSERT_EQ(statuses.size(), hashed);
  EXPECT_EQ(statuses.back(), "Checking your files | f298.bin (299 of 300)");
  EXPECT_EQ(hashes.size(), 225u);
  EXPECT_EQ(hashes.at(Full("d1/f1.bin")).hash, Sha256Text("d1/f1.bin?"));
  EXPECT_EQ(hashes.at(Full("d2/f2.bin")).hash, Sha256Text("d2/f2.bin"));
}

TEST_F(CheckFilesTest, TrustsTheLedgerWhileSizeAndTimeAreUnchanged) {
  WriteFile(temp / "a.dll", "realm");
  RememberAsIs("a.dll", Sha256Text("realm"));
  // Altered in place with the same size and write time: the file is not read again.
  const os::FileFacts before = os::GetFileFacts(Full("a.dll"));
  WriteFile(temp / "a.dll", "REALM");
  struct stat st;
  ASSERT_EQ(stat((temp / "a.dll").c_str(), &st), 0);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_sec = static_cast<time_t>((before.write_time - 116444736000000000ULL) / 10000000ULL);
  times[1].tv_nsec = static_cast<long>((before.write_time - 116444736000000000ULL) % 10000000ULL * 100);
  ASSERT_EQ(utimensat(AT_FDCWD, (temp / "a.dll").c_str(), times, 0), 0);
  ASSERT_EQ(os::GetFileFacts(Full("a.dll")).write_time, before.write_time);

  DownloadList list = CheckFiles(run.context, temp.path(), {Entry("a.dll", "realm")}, hashes);
  EXPECT_TRUE(list.entries.empty());
  EXPECT_TRUE(RunFixture::TracesOf("status").empty());

  // A new write time makes it hashed again, and the change is found.
  times[1].tv_sec += 5;
  ASSERT_EQ(utimensat(AT_FDCWD, (temp / "a.dll").c_str(), times, 0), 0);
  list = CheckFiles(run.context, temp.path(), {Entry("a.dll", "realm")}, hashes);
  EXPECT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(hashes.at(Full("a.dll")).hash, Sha256Text("REALM"));
}

TEST_F(CheckFilesTest, AFolderWhereAFileBelongsIsListedAndNotRecorded) {
  std::filesystem::create_directories(temp / "Data/x.dll");
  const DownloadList list = CheckFiles(run.context, temp.path(), {Entry("Data/x.dll", "x")}, hashes);
  EXPECT_EQ(list.entries.size(), 1u);
  EXPECT_TRUE(hashes.empty());
  EXPECT_EQ(RunFixture::TracesOf("status").size(), 1u);
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

TEST(Partials, AreKeptApartPlacedBackOnceAndPrunedWhenNoLongerWanted) {
  TempFolder temp;
  const std::string settings = temp / "settings";
  const std::string part = temp / "game/big.mpq.part";
  const std::string content(1000, 'b');
  const ManifestFile big = Entry("big.mpq", content);
  const ManifestFile other = Entry("other.mpq", std::string(1000, 'o'));
  const std::string kept = settings + "/partial/" + big.sha256 + "-1000";

  WriteFile(part, content.substr(0, 400));
  KeepPartial(settings, big, part);
  EXPECT_FALSE(Exists(part));
  EXPECT_EQ(ReadFile(kept), content.substr(0, 400));

  ASSERT_TRUE(PlacePartial(settings, big, part));
  EXPECT_EQ(ReadFile(part), content.substr(0, 400));
  EXPECT_FALSE(Exists(kept));
  EXPECT_FALSE(PlacePartial(settings, big, part));  // continued once, not twice

  // A partial as long as the file is no beginning of it: dropped, the part file left alone.
  WriteFile(kept, content);
  EXPECT_FALSE(PlacePartial(settings, big, part));
  EXPECT_FALSE(Exists(kept));
  EXPECT_EQ(ReadFile(part), content.substr(0, 400));

  KeepPartial(settings, big, part);
  WriteFile(temp / "game/other.part", "ooo");
  KeepPartial(settings, other, temp / "game/other.part");
  PrunePartials(settings, {big});
  EXPECT_TRUE(Exists(kept));
  EXPECT_FALSE(Exists(settings + "/partial/" + other.sha256 + "-1000"));
  PrunePartials(settings, {});
  EXPECT_TRUE(std::filesystem::is_empty(settings + "/partial"));

  // Without a settings folder nothing is kept, and nothing stays in the game folder either.
  WriteFile(part, "abc");
  KeepPartial("", big, part);
  EXPECT_FALSE(Exists(part));
  EXPECT_FALSE(PlacePartial("", big, part));
}

class DownloadAllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenSession(&session), HttpError::kNone);
    run.context.realm_address = server.Address();
    run.context.settings_folder = temp / "settings";
  }
  std::optional<RunOutcome> DownloadAll(std::vector<ManifestFile> entries) {
    DownloadList list;
    for (const ManifestFile& entry : entries) list.total_size += entry.size;
    list.entries = std::move(entries);
    return vantrel::DownloadAll(run.context, *session, temp / "game", list, ledgers);
  }

  TempFolder temp;
  RunFixture run;
  testing::RealmServer server;
  SessionPtr session;
  Ledgers ledgers;
};

std::string Varied(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

TEST_F(DownloadAllTest, APartLeftByAKilledRunIsContinuedAndOneTooLongIsFetchedWhole) {
  const std::string big = Varied(600 * 1024, 1), other = Varied(1000, 2);
  server.SetFile("Data/big.mpq", big);
  server.SetFile("other.mpq", other);
  WriteFile(temp / "game/Data/big.mpq.part", big.substr(0, 300 * 1024));
  WriteFile(temp / "game/other.mpq.part", other + "and more");
  EXPECT_FALSE(DownloadAll({Entry("Data/big.mpq", big), Entry("other.mpq", other)}));
  EXPECT_EQ(server.Ranges("Data/big.mpq"), std::vector<std::string>{"bytes=307200-"});
  EXPECT_EQ(server.Ranges("other.mpq"), std::vector<std::string>{""});
  EXPECT_EQ(ReadFile(temp / "game/Data/big.mpq"), big);
  EXPECT_EQ(ReadFile(temp / "game/other.mpq"), other);
  EXPECT_FALSE(Exists(temp / "game/Data/big.mpq.part"));
  EXPECT_FALSE(Exists(temp / "game/other.mpq.part"));

  // A run that fails before it reaches such an entry moves its bytes out of the game folder.
  const std::string next = Varied(4000, 4);
  WriteFile(temp / "game/next.mpq.part", next.substr(0, 1500));
  EXPECT_TRUE(DownloadAll({Entry("missing.mpq", "not on the site"), Entry("next.mpq", next)}));
  EXPECT_FALSE(Exists(temp / "game/next.mpq.part"));
  EXPECT_EQ(ReadFile(temp / "settings/partial/" + Entry("next.mpq", next).sha256 + "-4000"), next.substr(0, 1500));
}

TEST_F(DownloadAllTest, AnUnfinishedCopyIsNeverTakenForThePlayersFirstCopy) {
  WriteFile(temp / "game/x.dll", "the player's own x");
  WriteFile(temp / "game/realm-backup/x.dll.part", "the pla");  // a copy cut off by a kill
  server.SetFile("x.dll", "realm x");
  EXPECT_FALSE(DownloadAll({Entry("x.dll", "realm x")}));
  EXPECT_EQ(ReadFile(temp / "game/realm-backup/x.dll"), "the player's own x");
  EXPECT_FALSE(Exists(temp / "game/realm-backup/x.dll.part"));
  EXPECT_EQ(ReadFile(temp / "game/x.dll"), "realm x");
}

TEST_F(DownloadAllTest, AFileThatKeepsStoppingShortNamesTheByteAndLeavesNothing) {
  // The site's copy ends before the size the manifest gives, and it has nothing past its end.
  const std::string content = Varied(5000, 3);
  server.SetFile("big.mpq", content.substr(0, 3000));
  const std::optional<RunOutcome> failed = DownloadAll({Entry("big.mpq", content)});
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->headline, "The download stopped");
  EXPECT_EQ(failed->detail,
            "big.mpq: the realm's answer keeps stopping short (at byte 3000 of 5000). Press Check files to try again.");
  EXPECT_EQ(server.Ranges("big.mpq"), (std::vector<std::string>{"", "bytes=3000-"}));
  EXPECT_FALSE(Exists(temp / "game/big.mpq"));
  EXPECT_FALSE(Exists(temp / "game/big.mpq.part"));
  EXPECT_FALSE(Exists(temp / "settings/partial"));
}

TEST_F(CheckFilesTest, HashesEveryFileThroughOneBuffer) {
  if (!testing::CanFailAllocations()) GTEST_SKIP() << "the sanitizer owns operator new";
  std::vector<ManifestFile> files;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    WriteFile(temp / name, name);
    files.push_back(Entry(name, name));
  }
  testing::CountAllocationsOfAtLeast(1048576);
  const DownloadList list = CheckFiles(run.context, temp.path(), files, hashes);
  const uint64_t large = testing::CountedAllocations();
  testing::CountAllocationsOfAtLeast(0);
  EXPECT_TRUE(list.entries.empty());
  EXPECT_EQ(hashes.size(), files.size());  // every file was read
  EXPECT_LE(large, 1u);
}

}  // namespace
}  // namespace vantrel
