// Runs one update run natively against a realm site and prints what the sync benchmark needs:
//   sync_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER [GAME_PROGRAM]
// prints "finish: <headline> | <detail> | ready=<0|1>", "seconds: <wall time of the run>" and
// "peak_rss_kib: <peak resident memory of this process>". Exits 1 unless the run finished.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "native_run.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: sync_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER [GAME_PROGRAM]\n");
    return 2;
  }
  bench::NativeRun run(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : "Game.exe");
  const auto start = std::chrono::steady_clock::now();
  const std::string finish = run.Run();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("finish: %s\nseconds: %.4f\npeak_rss_kib: %ld\n", finish.c_str(), seconds, usage.ru_maxrss);
  return finish.empty() ? 1 : 0;
}
