#pragma once
// The three worker jobs. Each runs on the worker thread and ends with a finish notice
// (the update run may instead end the process after a self-update).
#include "launcher/state.h"

namespace vantrel {

void RunUpdate(WorkerContext& context);     // kind 0: keep the game folder in step with the realm
void RunGathering(WorkerContext& context);  // kind 1: gather the log report
void RunUpload(WorkerContext& context);     // kind 2: pack and send the report

// The worker entry's dispatch on the job kind.
void RunJob(WorkerContext& context);

}  // namespace vantrel
