#pragma once
// Button actions that start the game or hand an address to the browser or the clipboard.
// All run on the window thread and leave the repaint to the caller.
#include "launcher/state.h"

namespace vantrel {

void PlayAction(WorkerContext& context);
void GetGatewayFile(WorkerContext& context);
void OpenRealmSite(WorkerContext& context);
void CopyReportLink(WorkerContext& context);
void OpenReportLink(WorkerContext& context);

}  // namespace vantrel
