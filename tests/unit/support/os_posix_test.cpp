// The posix side of the seam behaves as the Windows side does where jobs rely on it:
// error classes, backslash paths, facts, listing, whole-file limits, moves and copies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/os.h"
#include "support/sha256.h"
#include "test_support.h"

namespace vantrel {
namespace {

using testing::ReadFile;
using testing::SmallDisk;
using testing::TempDir;
using testing::WriteFile;

TEST(OsSeam, BackslashPathsAndErrorClasses) {
  TempDir dir;
  WriteFile(dir / "a/b.txt", "hello");
  const std::string windows_style = dir.path() + "\\a\\b.txt";
  const os::FileFacts facts = os::GetFileFacts(windows_style);
  EXPECT_TRUE(facts.exists);
  EXPECT_FALSE(facts.is_folder);
  EXPECT_EQ(facts.size, 5u);
  EXPECT_GT(facts.write_time, 116444736000000000ULL);  // after 1970 in FILETIME units

  EXPECT_TRUE(os::GetFileFacts(dir / "a").is_folder);
  EXPECT_FALSE(os::GetFileFacts(dir / "missing").exists);

  os::File file;
  EXPECT_EQ(file.OpenRead(dir / "missing"), os::kErrorFileNotFound);
  EXPECT_EQ(file.OpenRead(dir / "a/b.txt/x"), os::kErrorPathNotFound);
  EXPECT_EQ(file.OpenRead(dir / "a"), os::kErrorAccessDenied);  // a folder is not a file
}

TEST(OsSeam, ReadWholeFileHonoursTheLimitExactly) {
  TempDir dir;
  WriteFile(dir / "f", std::string(100, 'x'));
  std::string content;
  EXPECT_EQ(os::ReadWholeFile(dir / "f", 100, &content), os::kOk);
  EXPECT_EQ(content.size(), 100u);
  EXPECT_EQ(os::ReadWholeFile(dir / "f", 99, &content), os::kErrorFileTooLarge);
  EXPECT_TRUE(content.empty());
}

TEST(OsSeam, MoveReplaceCopyDeleteAndFolders) {
  TempDir dir;
  WriteFile(dir / "new", "new");
  WriteFile(dir / "old", "old");
  EXPECT_EQ(os::MoveReplace(dir / "new", dir / "old"), os::kOk);
  EXPECT_EQ(ReadFile(dir / "old"), "new");
  EXPECT_FALSE(os::GetFileFacts(dir / "new").exists);
  EXPECT_EQ(os::MoveReplace(dir / "new", dir / "old"), os::kErrorFileNotFound);

  os::CreateFolders(dir.path() + "\\x\\y\\z");
  EXPECT_TRUE(os::GetFileFacts(dir / "x/y/z").is_folder);
  EXPECT_EQ(os::CreateFolder(dir / "x"), os::kErrorAlreadyExists);
  EXPECT_EQ(os::MoveReplace(dir / "old", dir / "x"), os::kErrorAccessDenied);  // a folder stands there

  EXPECT_EQ(os::CopyFileOver(dir / "old", dir / "x/copy"), os::kOk);
  EXPECT_EQ(ReadFile(dir / "x/copy"), "new");
  EXPECT_EQ(os::DeleteFilePath(dir / "x/copy"), os::kOk);
  EXPECT_EQ(os::DeleteFilePath(dir / "x/copy"), os::kErrorFileNotFound);

  std::vector<os::FolderEntry> entries;
  ASSERT_EQ(os::ListFolder(dir.path(), &entries), os::kOk);
  ASSERT_EQ(entries.size(), 2u);  // "old" and "x", never "." or ".."
  EXPECT_EQ(os::ListFolder(dir / "nothing", &entries), os::kErrorFileNotFound);
}

TEST(OsSeam, MoveAcrossVolumesCopiesWholeOrNotAtAll) {
  TempDir dir;
  SmallDisk disk(64 * 1024);
  if (!disk.ok()) GTEST_SKIP() << "needs root to mount a tmpfs of its own";
  WriteFile(dir / "a", std::string(10000, 'a'));
  EXPECT_EQ(os::MoveReplace(dir / "a", disk / "a"), os::kErrorNotSameDevice);
  ASSERT_EQ(os::MoveAcrossVolumes(dir / "a", disk / "a"), os::kOk);
  EXPECT_EQ(ReadFile(disk / "a"), std::string(10000, 'a'));
  EXPECT_FALSE(os::GetFileFacts(dir / "a").exists);
  // No room for the copy: the source stays whole and no half copy is left behind.
  WriteFile(dir / "big", std::string(200 * 1024, 'b'));
  EXPECT_EQ(os::MoveAcrossVolumes(dir / "big", disk / "big"), os::kErrorDiskFull);
  EXPECT_EQ(ReadFile(dir / "big").size(), 200u * 1024);
  EXPECT_FALSE(os::GetFileFacts(disk / "big").exists);
}

TEST(OsSeam, ReadOnlyFolderIsAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
  TempDir dir;
  os::CreateFolder(dir / "ro");
  chmod((dir / "ro").c_str(), 0555);
  os::File file;
  EXPECT_EQ(file.CreateWrite(dir / "ro/f"), os::kErrorAccessDenied);
}

TEST(OsSeam, HashFileReadsInPiecesAndFailsOnMissingFiles) {
  TempDir dir;
  std::string big(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  WriteFile(dir / "big", big);
  std::string hash;
  ASSERT_TRUE(HashFile(dir / "big", &hash));
  EXPECT_EQ(hash, Sha256Text(big));
  EXPECT_FALSE(HashFile(dir / "none", &hash));
  EXPECT_FALSE(HashFile(dir.path(), &hash));
}

}  // namespace
}  // namespace vantrel
