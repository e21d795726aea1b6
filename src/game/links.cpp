// The gateway file, site and report-link actions: filled in by the game-start work.
#include "game/actions.h"

namespace vantrel {

void GetGatewayFile(WorkerContext&) {}
void OpenRealmSite(WorkerContext&) {}
void CopyReportLink(WorkerContext&) {}
void OpenReportLink(WorkerContext&) {}

}  // namespace vantrel
