#pragma once
// Starting the one worker job and the only ways a job reports back to the window: the
// status notice, the finish notice and notify. Every headline/detail write is also traced.
#include <string>
#include <string_view>

#include "launcher/state.h"

namespace vantrel {

inline constexpr size_t kWorkerStackBytes = 1048576;

// Window thread only. Dropped silently while a job runs; false when nothing was started.
bool StartWorker(WorkerContext& context, JobKind kind);

void StatusNotice(WorkerContext& context, std::string_view headline, std::string_view detail, float progress);
void FinishNotice(WorkerContext& context, std::string_view headline, std::string_view detail, bool ready);
void Notify(WorkerContext& context);

std::string CopyGameFolder(LauncherState& state);
bool ReadReady(LauncherState& state);

// The debug-output line that lets tests follow the launcher:
// "[vantrel] <kind>: <headline> | <detail>" and, for finish, " | ready=<0|1>".
std::string TraceLine(std::string_view kind, std::string_view headline, std::string_view detail, int ready = -1);
void Trace(std::string_view kind, std::string_view headline, std::string_view detail, int ready = -1);

}  // namespace vantrel
