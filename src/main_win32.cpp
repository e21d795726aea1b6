// The process entry: start-up, the window, the first update run, the message loop.
#include <windows.h>

#include "launcher/jobs.h"
#include "launcher/startup.h"
#include "launcher/state.h"
#include "launcher/worker.h"
#include "ui/window.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Both records live for the whole process; the worker may still be using them when the
  // process ends, so nothing is destroyed on the way out.
  static vantrel::LauncherState state;
  static vantrel::WorkerContext context;
  context.state = &state;
  vantrel::RunStartup(state, context);
  context.run_job = vantrel::RunJob;
  // Without a window the player could see nothing of what the launcher does.
  if (!vantrel::ui::CreateMainWindow(context)) ExitProcess(1);
  vantrel::StartWorker(context, vantrel::JobKind::kUpdate);
  vantrel::ui::RunMessageLoop();
  // ExitProcess, not a return: a running worker must not meet static destructors.
  ExitProcess(0);
}
