#include "launcher/worker.h"

#include "support/debug_output.h"

namespace vantrel {
namespace {

void WorkerEntry(void* raw) {
  WorkerContext& context = *static_cast<WorkerContext*>(raw);
  if (context.run_job != nullptr) context.run_job(context);
}

}  // namespace

bool StartWorker(WorkerContext& context, JobKind kind) {
  LauncherState& state = *context.state;
  {
    os::LockGuard guard(state.lock);
    if (state.busy) return false;
    state.busy = true;
  }
  context.job_kind = kind;
  if (os::StartThread(WorkerEntry, &context, kWorkerStackBytes) != os::kOk) {
    os::LockGuard guard(state.lock);
    state.busy = false;
    return false;
  }
  return true;
}

void StatusNotice(WorkerContext& context, std::string_view headline, std::string_view detail, float progress) {
  LauncherState& state = *context.state;
  {
    os::LockGuard guard(state.lock);
    state.gateway_missing = false;
    state.status_headline.Set(headline);
    state.status_detail.Set(detail);
    state.progress = progress;
  }
  Trace("status", headline.substr(0, kFixedTextCapacity), detail.substr(0, kFixedTextCapacity));
  os::PostOnce(context.window, kStateChangedMessage);
}

void FinishNotice(WorkerContext& context, std::string_view headline, std::string_view detail, bool ready) {
  LauncherState& state = *context.state;
  if (context.job_kind == JobKind::kUpdate) {
    std::string line;
    line.reserve(headline.size() + 2 + detail.size());
    line.append(headline).append(". ").append(detail);
    context.last_check_line.Set(line);
  }
  {
    os::LockGuard guard(state.lock);
    state.gateway_missing = false;
    state.status_headline.Set(headline);
    state.status_detail.Set(detail);
    state.progress = -1.0f;
    state.ready = ready;
    state.busy = false;
  }
  Trace("finish", headline.substr(0, kFixedTextCapacity), detail.substr(0, kFixedTextCapacity), ready ? 1 : 0);
  os::PostOnce(context.window, kStateChangedMessage);
}

void Notify(WorkerContext& context) { os::PostOnce(context.window, kStateChangedMessage); }

std::string CopyGameFolder(LauncherState& state) {
  os::LockGuard guard(state.lock);
  return state.game_folder.Copy();
}

bool ReadReady(LauncherState& state) {
  os::LockGuard guard(state.lock);
  return state.ready;
}

std::string TraceLine(std::string_view kind, std::string_view headline, std::string_view detail, int ready) {
  std::string line = "[vantrel] ";
  line.append(kind).append(": ").append(headline).append(" | ").append(detail);
  if (ready >= 0) line.append(" | ready=").append(ready ? "1" : "0");
  return line;
}

void Trace(std::string_view kind, std::string_view headline, std::string_view detail, int ready) {
  DebugOutput(TraceLine(kind, headline, detail, ready));
}

}  // namespace vantrel
