// Runs one update run natively against a realm site and prints what the sync benchmark needs:
//   sync_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER [GAME_PROGRAM]
// prints "finish: <headline> | <detail> | ready=<0|1>", "seconds: <wall time of the run>" and
// "peak_rss_kib: <peak resident memory of this process>". Exits 1 unless the run finished.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "launcher/jobs.h"
#include "launcher/state.h"
#include "support/debug_output.h"
#include "support/os.h"

namespace {

std::mutex g_mutex;
std::string g_finish;

void KeepFinish(std::string_view line) {
  constexpr std::string_view kPrefix = "[vantrel] finish: ";
  if (line.substr(0, kPrefix.size()) != kPrefix) return;
  std::lock_guard<std::mutex> guard(g_mutex);
  g_finish = std::string(line.substr(kPrefix.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: sync_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER [GAME_PROGRAM]\n");
    return 2;
  }
  vantrel::SetDebugHook(KeepFinish);
  vantrel::os::SetPostHook([](vantrel::os::WindowHandle, uint32_t) {});
  vantrel::LauncherState state;
  vantrel::WorkerContext context;
  context.state = &state;
  context.job_kind = vantrel::JobKind::kUpdate;
  context.realm_address = argv[1];
  context.settings_folder = argv[3];
  state.game_folder.Set(argv[2]);
  state.game_program.Set(argc > 4 ? argv[4] : "Game.exe");
  state.busy = true;  // as the worker start leaves it

  const auto start = std::chrono::steady_clock::now();
  vantrel::RunJob(context);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::lock_guard<std::mutex> guard(g_mutex);
  std::printf("finish: %s\nseconds: %.4f\npeak_rss_kib: %ld\n", g_finish.c_str(), seconds, usage.ru_maxrss);
  return g_finish.empty() ? 1 : 0;
}
