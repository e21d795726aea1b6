// The update run (job kind 0): ask the realm for its manifest, publish it, let the launcher
// replace itself, then check the game folder against the manifest and fetch what differs.
#include <new>
#include <optional>

#include "launcher/jobs.h"
#include "launcher/worker.h"
#include "realm/http_client.h"
#include "realm/manifest.h"
#include "support/os.h"
#include "sync/file_check.h"
#include "sync/ledgers.h"
#include "sync/run_texts.h"
#include "sync/self_update.h"
#include "sync/signature_check.h"

namespace vantrel {
namespace {

bool ResolveReady(WorkerContext& context, ReadyRule rule) {
  switch (rule) {
    case ReadyRule::kFalse: return false;
    case ReadyRule::kTrue: return true;
    case ReadyRule::kGamePresent: break;
  }
  try {
    return GamePresent(*context.state);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void Finish(WorkerContext& context, const RunOutcome& outcome) {
  FinishNotice(context, outcome.headline, outcome.detail, ResolveReady(context, outcome.ready));
}

void RunSteps(WorkerContext& context) {
  if (context.realm_address.empty()) return Finish(context, NoRealmOutcome());
  StatusNotice(context, "Asking the realm what's new", "", -1.0f);

  SessionPtr session;
  if (OpenSession(&session) != HttpError::kNone) return Finish(context, NoSessionOutcome());

  Manifest manifest;
  ManifestFailure failure;
  const FetchResult answer = FetchManifestAnswer(*session, context.realm_address);
  // A keyed launcher reads nothing of the manifest before its signature passes.
  if (const std::optional<RunOutcome> refused = CheckManifestSignature(context, *session, answer)) {
    return Finish(context, *refused);
  }
  if (!AcceptManifestAnswer(answer, &manifest, &failure)) {
    return FinishNotice(context, failure.headline, failure.detail, ResolveReady(context, ReadyRule::kGamePresent));
  }
  PublishManifest(context, manifest);

  std::optional<LauncherBuild> build;
  if (manifest.has_launcher) build = LauncherBuild{manifest.launcher_sha256, manifest.launcher_size};
  if (RunSelfUpdate(context, *session, build ? &*build : nullptr) == SelfUpdateResult::kRestarting) {
    return;  // the window is closing; the new build reports from here on
  }

  const std::string game_folder = CopyGameFolder(*context.state);
  if (game_folder.empty()) return Finish(context, NoGameFolderOutcome());
  const os::FileFacts program = os::GetFileFacts(GameProgramPath(game_folder, manifest.exe));
  if (!program.exists || program.is_folder) return Finish(context, GameMissingOutcome(manifest.exe, game_folder));

  Ledgers ledgers = ReadLedgers(context.settings_folder);
  const DownloadList list = CheckFiles(context, game_folder, manifest.files, ledgers.hashes);
  const std::optional<RunOutcome> failed = DownloadAll(context, *session, game_folder, list, ledgers);
  // Saved on every way out of the download phase, a failed folder included: what was hashed
  // and written before the failure stays known.
  SaveLedgers(context.settings_folder, ledgers);
  if (failed) return Finish(context, *failed);
  if (list.entries.empty()) return Finish(context, UpToDateOutcome(manifest.files.size()));
  Finish(context, UpdatedOutcome(list.entries.size(), list.total_size));
}

}  // namespace

void RunUpdate(WorkerContext& context) {
  // Running out of memory anywhere in the run still ends it, so the busy flag is cleared.
  try {
    RunSteps(context);
  } catch (const std::bad_alloc&) {
    Finish(context, OutOfMemoryOutcome());
  }
}

}  // namespace vantrel
