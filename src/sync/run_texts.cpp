#include "sync/run_texts.h"

#include "support/os.h"
#include "support/text.h"

namespace vantrel {
namespace {

constexpr size_t kCheckingDetailBuffer = 160;
constexpr size_t kDownloadingHeadlineBuffer = 120;
constexpr size_t kProgressDetailBuffer = 200;

RunOutcome Outcome(std::string_view headline, std::string detail, ReadyRule ready) {
  RunOutcome outcome;
  outcome.headline.assign(headline);
  outcome.detail = std::move(detail);
  outcome.ready = ready;
  return outcome;
}

}  // namespace

std::string FullGamePath(std::string_view game_folder, std::string_view manifest_path) {
  std::string full(game_folder);
  if (full.empty() || (full.back() != '\\' && full.back() != '/')) full.push_back('\\');
  for (char c : manifest_path) full.push_back(c == '/' ? '\\' : c);
  return full;
}

std::string BackupFolder(std::string_view game_folder) { return std::string(game_folder) + "\\realm-backup"; }

std::string BackupPath(std::string_view game_folder, std::string_view manifest_path) {
  return FullGamePath(BackupFolder(game_folder), manifest_path);
}

std::string PartPath(std::string_view full_path) { return std::string(full_path) + ".part"; }

std::string FileAddress(std::string_view realm_address, std::string_view manifest_path) {
  std::string address(realm_address);
  address.append("/api/launcher/file/").append(manifest_path);
  return address;
}

std::string GameProgramPath(std::string_view game_folder, std::string_view game_program) {
  std::string path(game_folder);
  path.append("\\").append(game_program);
  return path;
}

std::string CheckingDetail(std::string_view file_name, uint64_t position, uint64_t count) {
  std::string text(file_name);
  text.append(" (").append(Decimal(position)).append(" of ").append(Decimal(count)).append(")");
  return FitOrEmpty(std::move(text), kCheckingDetailBuffer);
}

std::string DownloadingHeadline(uint64_t position, uint64_t count) {
  std::string text = "Downloading ";
  text.append(Decimal(position)).append(" of ").append(Decimal(count));
  return FitOr(std::move(text), kDownloadingHeadlineBuffer, "Downloading");
}

std::string DownloadProgressDetail(std::string_view file_name, uint64_t done, uint64_t total) {
  std::string text(file_name);
  text.append(": ").append(SizeText(done)).append(" of ").append(SizeText(total));
  return FitOrEmpty(std::move(text), kProgressDetailBuffer);
}

float ProgressFraction(uint64_t done, uint64_t total) {
  if (total == 0) return -1.0f;
  return static_cast<float>(static_cast<double>(done) / static_cast<double>(total));
}

RunOutcome NoRealmOutcome() {
  return Outcome("This launcher doesn't know its realm", "Download it again from your realm's site.",
                 ReadyRule::kFalse);
}

RunOutcome NoSessionOutcome() { return Outcome("Windows' web client didn't start", "", ReadyRule::kGamePresent); }

RunOutcome NoGameFolderOutcome() {
  return Outcome("Where is your game?", "Choose the folder with Diablo II.exe in it: Settings, Change folder.",
                 ReadyRule::kFalse);
}

RunOutcome GameMissingOutcome(std::string_view game_program, std::string_view game_folder) {
  std::string detail = "There's no ";
  detail.append(game_program).append(" in ").append(game_folder).append(". Pick the right folder in Settings.");
  return Outcome("The game isn't in that folder", std::move(detail), ReadyRule::kFalse);
}

RunOutcome FolderFailedOutcome(std::string_view folder) {
  return Outcome("A folder couldn't be made", std::string(folder), ReadyRule::kGamePresent);
}

RunOutcome BackupFailedOutcome(std::string_view file_name) {
  std::string detail(file_name);
  detail.append(" wasn't replaced: there's no room for a copy in realm-backup, or the folder is read only.");
  return Outcome("Your original couldn't be kept", std::move(detail), ReadyRule::kTrue);
}

RunOutcome DownloadFailedOutcome(HttpError error, std::string_view full_path, uint64_t stopped_at, uint64_t size) {
  const std::string_view file_name = LastPathComponent(full_path);
  std::string detail;
  switch (error) {
    case HttpError::kCannotWrite:
      detail.assign(full_path).append(": is the disk full, or the folder read only?");
      return Outcome("A file couldn't be written", std::move(detail), ReadyRule::kTrue);
    case HttpError::kMismatch:
      detail.assign(file_name).append(": press Check files to try again.");
      return Outcome("A download didn't match the realm's copy", std::move(detail), ReadyRule::kTrue);
    case HttpError::kCutShort:
      // Not the player's connection alone: a site, proxy or WinHTTP that always ends the answer
      // at the same byte is told by that byte.
      detail.assign(file_name).append(": the realm's answer keeps stopping short (at byte ");
      detail.append(Decimal(stopped_at)).append(" of ").append(Decimal(size));
      detail.append("). Press Check files to try again.");
      return Outcome("The download stopped", std::move(detail), ReadyRule::kTrue);
    default:
      detail.assign(file_name).append(": ").append(RequestFailureReason(error));
      detail.append(". Press Check files to try again.");
      return Outcome("The download stopped", std::move(detail), ReadyRule::kTrue);
  }
}

RunOutcome ReplaceFailedOutcome(uint32_t system_error, std::string_view full_path) {
  if (system_error == os::kErrorSharingViolation || system_error == os::kErrorLockViolation ||
      system_error == os::kErrorAccessDenied) {
    std::string detail(LastPathComponent(full_path));
    detail.append(" is in use. Close Diablo II, then press Check files.");
    return Outcome("Close the game first", std::move(detail), ReadyRule::kFalse);
  }
  return Outcome("A file couldn't be replaced", std::string(full_path), ReadyRule::kTrue);
}

RunOutcome UpToDateOutcome(uint64_t files_checked) {
  return Outcome("Up to date", Decimal(files_checked) + " files checked against the realm.", ReadyRule::kTrue);
}

RunOutcome UpdatedOutcome(uint64_t files_downloaded, uint64_t total_bytes) {
  std::string detail = Decimal(files_downloaded);
  detail.append(files_downloaded == 1 ? " file" : " files").append(" from the realm, ");
  detail.append(SizeText(total_bytes)).append(".");
  return Outcome("Updated", std::move(detail), ReadyRule::kTrue);
}

RunOutcome OutOfMemoryOutcome() {
  return Outcome("The launcher ran out of memory", "Close other programs, then press Check files.",
                 ReadyRule::kGamePresent);
}

RunOutcome SignatureRefusedOutcome(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::kTampered:
      return Outcome("The realm's file list failed its signature check",
                     "Someone may be tampering with your connection. Nothing was downloaded.", ReadyRule::kGamePresent);
    case SignatureVerdict::kReplayed:
      return Outcome("The realm's file list is older than one already seen",
                     "Someone may be replaying an old list. Nothing was downloaded.", ReadyRule::kGamePresent);
    case SignatureVerdict::kExpired:
      return Outcome("The realm's file list has expired",
                     "Ask the realm's team to publish it again, or check your computer's date.",
                     ReadyRule::kGamePresent);
    case SignatureVerdict::kAccepted:
    case SignatureVerdict::kUnsigned: break;
  }
  return Outcome("The realm's file list isn't signed",
                 "This launcher trusts only files signed by its realm. Try again later, or tell the realm's team.",
                 ReadyRule::kGamePresent);
}

RunOutcome SignatureUnreachableOutcome(HttpError error) {
  return Outcome("Can't reach the realm right now", std::string(RequestFailureReason(error)), ReadyRule::kGamePresent);
}

}  // namespace vantrel
