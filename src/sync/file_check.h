#pragma once
// The per-file work of the update run: find every manifest file that is missing or different
// (hashing only files whose size or write time changed since the ledger saw them), then fetch
// each through a ".part" file, keep the player's first copy under "realm-backup" and move the
// verified file into place, feeding both ledgers as it goes.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"
#include "realm/http_client.h"
#include "realm/manifest.h"
#include "sync/ledgers.h"
#include "sync/run_texts.h"

namespace vantrel {

struct DownloadList {
  std::vector<ManifestFile> entries;  // manifest order
  uint64_t total_size = 0;
};

// Status notices only for files that must be hashed.
DownloadList CheckFiles(WorkerContext& context, std::string_view game_folder, const std::vector<ManifestFile>& files,
                        HashLedger& hashes);

// Nothing on success; otherwise the outcome that ends the run. Files before a failure stay
// replaced and recorded. The caller saves the ledgers either way. Partials that no entry of the
// list wants are deleted first, an empty list included.
std::optional<RunOutcome> DownloadAll(WorkerContext& context, HttpSession& session, std::string_view game_folder,
                                      const DownloadList& list, Ledgers& ledgers);

// The path up to its last "\" or "/" (empty when there is none).
std::string_view FolderPart(std::string_view path);

// Folders seen to exist, or made, earlier in the run: each is asked about once a run, not once
// per file that lies in it.
using KnownFolders = std::set<std::string, std::less<>>;

// Makes `folder` and every missing folder above it. False when one exists as something else
// or can't be created; `failed` then names it. With `known`, levels in it are taken as they
// are and the levels found or made are added to it.
bool MakeFolders(std::string_view folder, std::string* failed, KnownFolders* known = nullptr);

// The game program named in the launcher state is a file in the game folder.
bool GamePresent(LauncherState& state);

}  // namespace vantrel
