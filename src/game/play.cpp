// Play: filled in by the game-start work; until then only the folder chooser form works.
#include "game/actions.h"
#include "launcher/folder_chooser.h"
#include "launcher/worker.h"

namespace vantrel {

void PlayAction(WorkerContext& context) {
  if (CopyGameFolder(*context.state).empty()) ChooseGameFolder(context);
}

}  // namespace vantrel
