// The update run (job kind 0). Only its first step is here so far; the manifest, the file
// check and the downloads come with the synchronisation work.
#include "launcher/jobs.h"
#include "launcher/worker.h"

namespace vantrel {

void RunUpdate(WorkerContext& context) {
  if (context.realm_address.empty()) {
    FinishNotice(context, "This launcher doesn't know its realm", "Download it again from your realm's site.", false);
    return;
  }
  FinishNotice(context, "Realm address found", context.realm_address, ReadReady(*context.state));
}

}  // namespace vantrel
