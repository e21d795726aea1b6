// The worker entry's dispatch. No exception leaves a job: running out of memory ends the
// job with a short message instead of leaving the busy flag set for good.
#include <new>

#include "launcher/jobs.h"
#include "launcher/worker.h"

namespace vantrel {

void RunJob(WorkerContext& context) {
  try {
    switch (context.job_kind) {
      case JobKind::kUpdate: RunUpdate(context); break;
      case JobKind::kGather: RunGathering(context); break;
      case JobKind::kUpload: RunUpload(context); break;
    }
  } catch (const std::bad_alloc&) {
    FinishNotice(context, "The launcher ran out of memory", "Close other programs, then try again.",
                 ReadReady(*context.state));
  }
}

}  // namespace vantrel
