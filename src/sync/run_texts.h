#pragma once
// Every path, address, progress text and outcome of the update run, as plain functions of
// values. Each player-facing text is written here once.
#include <cstdint>
#include <string>
#include <string_view>

#include "realm/http_client.h"
#include "realm/manifest_signature.h"

namespace vantrel {

// Game folder joined with a manifest path, "/" turned into "\"; one "\" is inserted unless
// the folder already ends in "\" or "/".
std::string FullGamePath(std::string_view game_folder, std::string_view manifest_path);
std::string BackupFolder(std::string_view game_folder);
std::string BackupPath(std::string_view game_folder, std::string_view manifest_path);
std::string PartPath(std::string_view full_path);
std::string FileAddress(std::string_view realm_address, std::string_view manifest_path);
// The game program as the run looks for it: folder + "\" + program, a plain join.
std::string GameProgramPath(std::string_view game_folder, std::string_view game_program);

// "Checking your files" detail (160-byte buffer, empty when it doesn't fit).
std::string CheckingDetail(std::string_view file_name, uint64_t position, uint64_t count);
// "Downloading j of k" (120-byte buffer, "Downloading" when it doesn't fit).
std::string DownloadingHeadline(uint64_t position, uint64_t count);
// name + ": " + done + " of " + total as size texts (200-byte buffer, empty when it doesn't fit).
std::string DownloadProgressDetail(std::string_view file_name, uint64_t done, uint64_t total);
// done / total, or -1 when the total is 0.
float ProgressFraction(uint64_t done, uint64_t total);

enum class ReadyRule : uint8_t { kFalse, kTrue, kGamePresent };

struct RunOutcome {
  std::string headline;
  std::string detail;
  ReadyRule ready = ReadyRule::kFalse;
};

RunOutcome NoRealmOutcome();
RunOutcome NoSessionOutcome();
RunOutcome NoGameFolderOutcome();
RunOutcome GameMissingOutcome(std::string_view game_program, std::string_view game_folder);
RunOutcome FolderFailedOutcome(std::string_view folder);
RunOutcome BackupFailedOutcome(std::string_view file_name);
// With kCutShort, `stopped_at` is the furthest byte the realm's answers reached of `size`.
RunOutcome DownloadFailedOutcome(HttpError error, std::string_view full_path, uint64_t stopped_at = 0,
                                 uint64_t size = 0);
// `system_error` is the move's Windows error code.
RunOutcome ReplaceFailedOutcome(uint32_t system_error, std::string_view full_path);
RunOutcome UpToDateOutcome(uint64_t files_checked);
RunOutcome UpdatedOutcome(uint64_t files_downloaded, uint64_t total_bytes);
RunOutcome OutOfMemoryOutcome();
// A keyed launcher refusing the manifest for its signature (any verdict but kAccepted).
RunOutcome SignatureRefusedOutcome(SignatureVerdict verdict);
// The signature's request failed before the realm answered: told as for the manifest's.
RunOutcome SignatureUnreachableOutcome(HttpError error);

}  // namespace vantrel
