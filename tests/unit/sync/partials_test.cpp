// Partials: what a cut download left is kept in the settings folder, placed back as the part
// file once, and pruned when no wanted file names it.
#include "sync/partials.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/sha256.h"
#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

ManifestFile Entry(std::string path, std::string_view content) {
  ManifestFile entry;
  entry.path = std::move(path);
  entry.sha256 = Sha256Text(content);
  entry.size = content.size();
  return entry;
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

}  // namespace
}  // namespace vantrel
