#include "sync/run_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(RunPaths, JoinsManifestPathsWithBackslashes) {
  EXPECT_EQ(FullGamePath("C:\\Games\\D2", "Data/Local/x.dll"), "C:\\Games\\D2\\Data\\Local\\x.dll");
  EXPECT_EQ(FullGamePath("C:\\Games\\D2\\", "a.mpq"), "C:\\Games\\D2\\a.mpq");
  EXPECT_EQ(FullGamePath("C:/Games/", "a.mpq"), "C:/Games/a.mpq");
  EXPECT_EQ(BackupPath("C:\\D2", "Data/Local/x.dll"), "C:\\D2\\realm-backup\\Data\\Local\\x.dll");
  EXPECT_EQ(PartPath("C:\\D2\\a.mpq"), "C:\\D2\\a.mpq.part");
  // The address keeps the manifest's "/" and is not percent-encoded.
  EXPECT_EQ(FileAddress("https://realm.example", "Data/Local/x y.dll"),
            "https://realm.example/api/launcher/file/Data/Local/x y.dll");
  EXPECT_EQ(GameProgramPath("C:\\D2", "Diablo II.exe"), "C:\\D2\\Diablo II.exe");
}

TEST(RunProgressTexts, FallBackWhenTheirBuffersOverflow) {
  EXPECT_EQ(CheckingDetail("a.dll", 3, 120), "a.dll (3 of 120)");
  // "(1 of 1)" plus a blank is 9 bytes: a 151-byte name just fits 160, one more doesn't.
  EXPECT_EQ(CheckingDetail(std::string(151, 'n'), 1, 1).size(), 160u);
  EXPECT_EQ(CheckingDetail(std::string(152, 'n'), 1, 1), "");

  EXPECT_EQ(DownloadingHeadline(2, 7), "Downloading 2 of 7");
  EXPECT_EQ(DownloadingHeadline(18446744073709551615ull, 18446744073709551615ull),
            "Downloading 18446744073709551615 of 18446744073709551615");

  EXPECT_EQ(DownloadProgressDetail("x.mpq", 1536, 1572864), "x.mpq: 1 KB of 1.5 MB");
  EXPECT_EQ(DownloadProgressDetail("z", 0, 0), "z: 0 bytes of 0 bytes");
  // ": 0 bytes of 0 bytes" is 20 bytes: a 180-byte name fits 200, 181 doesn't.
  EXPECT_EQ(DownloadProgressDetail(std::string(180, 'n'), 0, 0).size(), 200u);
  EXPECT_EQ(DownloadProgressDetail(std::string(181, 'n'), 0, 0), "");

  EXPECT_EQ(ProgressFraction(0, 0), -1.0f);
  EXPECT_EQ(ProgressFraction(5, 0), -1.0f);
  EXPECT_FLOAT_EQ(ProgressFraction(1, 4), 0.25f);
  EXPECT_FLOAT_EQ(ProgressFraction(1ull << 40, 1ull << 41), 0.5f);
}

TEST(RunOutcomes, SuccessTextsCountFilesAndBytes) {
  EXPECT_EQ(UpToDateOutcome(0).detail, "0 files checked against the realm.");
  EXPECT_EQ(UpToDateOutcome(1).detail, "1 files checked against the realm.");
  EXPECT_EQ(UpToDateOutcome(1).headline, "Up to date");
  EXPECT_EQ(UpToDateOutcome(1).ready, ReadyRule::kTrue);
  EXPECT_EQ(UpdatedOutcome(1, 1572864).detail, "1 file from the realm, 1.5 MB.");
  EXPECT_EQ(UpdatedOutcome(2, 1200).detail, "2 files from the realm, 1 KB.");
  EXPECT_EQ(UpdatedOutcome(3, 1023).detail, "3 files from the realm, 1023 bytes.");
  EXPECT_EQ(UpdatedOutcome(3, 1048575).detail, "3 files from the realm, 1023 KB.");
  EXPECT_EQ(UpdatedOutcome(3, 1048576).detail, "3 files from the realm, 1.0 MB.");
  EXPECT_EQ(UpdatedOutcome(2, 1).headline, "Updated");
}

TEST(RunOutcomes, DownloadFailuresNameTheFileAndTheReason) {
  const std::string full = "C:\\D2\\Data\\x.dll";
  RunOutcome o = DownloadFailedOutcome(HttpError::kCannotWrite, full);
  EXPECT_EQ(o.headline, "A file couldn't be written");
  EXPECT_EQ(o.detail, "C:\\D2\\Data\\x.dll: is the disk full, or the folder read only?");
  o = DownloadFailedOutcome(HttpError::kMismatch, full);
  EXPECT_EQ(o.headline, "A download didn't match the realm's copy");
  EXPECT_EQ(o.detail, "x.dll: press Check files to try again.");
  o = DownloadFailedOutcome(HttpError::kBadAddress, full);
  EXPECT_EQ(o.headline, "The download stopped");
  EXPECT_EQ(o.detail, "x.dll: the realm's address in this launcher isn't one. Press Check files to try again.");
  EXPECT_EQ(DownloadFailedOutcome(HttpError::kTooLarge, full).detail,
            "x.dll: the realm sent more than expected. Press Check files to try again.");
  o = DownloadFailedOutcome(HttpError::kCutShort, full, 2147483647, 4831838213);
  EXPECT_EQ(o.headline, "The download stopped");
  EXPECT_EQ(o.detail,
            "x.dll: the realm's answer keeps stopping short (at byte 2147483647 of 4831838213). Press Check files "
            "to try again.");
  for (HttpError other : {HttpError::kNoAnswer, HttpError::kBadStatus, HttpError::kStopped, HttpError::kOutOfMemory}) {
    o = DownloadFailedOutcome(other, full);
    EXPECT_EQ(o.detail, "x.dll: no answer; check your connection. Press Check files to try again.");
    EXPECT_EQ(o.ready, ReadyRule::kTrue);
  }
}

TEST(RunOutcomes, ReplaceFailureTellsInUseFromOtherErrors) {
  for (uint32_t in_use : {32u, 33u, 5u}) {
    const RunOutcome o = ReplaceFailedOutcome(in_use, "C:\\D2\\Game.exe");
    EXPECT_EQ(o.headline, "Close the game first");
    EXPECT_EQ(o.detail, "Game.exe is in use. Close Diablo II, then press Check files.");
    EXPECT_EQ(o.ready, ReadyRule::kFalse);
  }
  for (uint32_t other : {2u, 3u, 112u, 1113u}) {
    const RunOutcome o = ReplaceFailedOutcome(other, "C:\\D2\\Game.exe");
    EXPECT_EQ(o.headline, "A file couldn't be replaced");
    EXPECT_EQ(o.detail, "C:\\D2\\Game.exe");
    EXPECT_EQ(o.ready, ReadyRule::kTrue);
  }
}

TEST(RunOutcomes, GameLocationAndFolderTexts) {
  const RunOutcome missing = GameMissingOutcome("Diablo II.exe", "C:\\D2");
  EXPECT_EQ(missing.headline, "The game isn't in that folder");
  EXPECT_EQ(missing.detail, "There's no Diablo II.exe in C:\\D2. Pick the right folder in Settings.");
  EXPECT_EQ(missing.ready, ReadyRule::kFalse);
  EXPECT_EQ(FolderFailedOutcome("C:\\D2\\Data").detail, "C:\\D2\\Data");
  EXPECT_EQ(FolderFailedOutcome("C:\\D2\\Data").ready, ReadyRule::kGamePresent);
  EXPECT_EQ(BackupFailedOutcome("x.dll").detail,
            "x.dll wasn't replaced: there's no room for a copy in realm-backup, or the folder is read only.");
  EXPECT_EQ(NoSessionOutcome().ready, ReadyRule::kGamePresent);
}

}  // namespace
}  // namespace vantrel
