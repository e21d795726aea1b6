// One update run of the launcher's own code against a realm, natively: prints the finish line,
// the seconds it took and the process's peak resident memory in KiB.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "native_run.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: blockmap_run SITE GAME_FOLDER SETTINGS_FOLDER\n");
    return 2;
  }
  bench::NativeRun run(argv[1], argv[2], argv[3], "Game.exe");
  const auto start = std::chrono::steady_clock::now();
  const std::string finish = run.Run();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%.3f %ld %s\n", seconds, usage.ru_maxrss, finish.c_str());
  return finish.rfind("Updated", 0) == 0 || finish.rfind("Up to date", 0) == 0 ? 0 : 1;
}
