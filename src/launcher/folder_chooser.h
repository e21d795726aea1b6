#pragma once
// The shell's folder browser for the game folder; a chosen folder is stored, saved and
// followed by an update run. Window thread only.
#include "launcher/state.h"

namespace vantrel {

void ChooseGameFolder(WorkerContext& context);

// What happens once a folder was chosen (shared by every platform's chooser).
void UseChosenFolder(WorkerContext& context, const std::string& folder);

}  // namespace vantrel
