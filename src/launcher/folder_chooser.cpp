#include "launcher/folder_chooser.h"

#include "launcher/settings.h"
#include "launcher/worker.h"

namespace vantrel {

void UseChosenFolder(WorkerContext& context, const std::string& folder) {
  if (folder.empty()) return;
  {
    os::LockGuard guard(context.state->lock);
    context.state->game_folder.Set(folder);
  }
  SaveSettings(*context.state, SettingsFilePath(context.settings_folder));
  StartWorker(context, JobKind::kUpdate);
}

}  // namespace vantrel
