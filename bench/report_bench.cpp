// Measures the log report's costly steps natively; bench/run-report-bench.sh compares them
// with gzip on the same bytes.
//   report_bench anonymize            Anonymizer throughput on a 2 MiB log, four names (eight rules)
//   report_bench pack RAW_OUT         packs a 22 MiB report; writes its raw bytes to RAW_OUT
//   report_bench gather               gathers a full-size report from a generated tree
// Prints "key: value" lines.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "launcher/jobs.h"
#include "launcher/state.h"
#include "report/anonymize.h"
#include "report/zip.h"
#include "support/debug_output.h"
#include "support/os.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long PeakRssKib() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Log lines shaped like the game's: times, paths, addresses, the odd name.
std::string MakeLog(size_t size, uint32_t seed) {
  static const char* kLines[] = {
      "%02d:%02d:%02d.%03d  Loading C:\\Users\\mira\\Saved Games\\Diablo II\\Save\\Char%d.d2s\n",
      "%02d:%02d:%02d.%03d  Connected to 8.8.4.%d:6112 from 192.168.1.%d\n",
      "%02d:%02d:%02d.%03d  Gateway ping %d ms, packet loss %d%%\n",
      "%02d:%02d:%02d.%03d  Host ATLAS-7 session %d opened by Mira Lund (%d)\n",
      "%02d:%02d:%02d.%03d  D2Client.dll: frame %d took %d us\n",
      "%02d:%02d:%02d.%03d  Storm: MPQ d2data.mpq block %d of %d read\n",
  };
  std::mt19937 random(seed);
  std::string log;
  log.reserve(size + 256);
  char line[256];
  while (log.size() < size) {
    const char* format = kLines[random() % 6];
    const int n =
        std::snprintf(line, sizeof line, format, static_cast<int>(random() % 24), static_cast<int>(random() % 60),
                      static_cast<int>(random() % 60), static_cast<int>(random() % 1000),
                      static_cast<int>(random() % 250), static_cast<int>(random() % 250));
    log.append(line, static_cast<size_t>(n));
  }
  log.resize(size);
  return log;
}

const std::vector<std::string> kComputers = {"ATLAS-7", "atlas-7.home.lan", "ATLAS-7", "atlas-7.home.lan"};
const std::vector<std::string> kUsers = {"mira", "Mira Lund", "mira", "Mira Lund"};

int Anonymize() {
  const std::string log = MakeLog(2097152, 1);
  double best = 1e9;
  std::string out;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    if (!vantrel::Anonymize(log, kComputers, kUsers, &out)) return 1;
    best = std::min(best, Seconds(start));
  }
  std::printf("input_bytes: %zu\noutput_bytes: %zu\nseconds: %.4f\nmb_per_s: %.1f\n", log.size(), out.size(), best,
              static_cast<double>(log.size()) / 1048576.0 / best);
  return 0;
}

int Pack(const char* raw_out) {
  std::vector<vantrel::ReportEntry> entries;
  size_t total = 0;
  for (uint32_t i = 0; total < 23068672 - 1048576; ++i) {
    std::string content = MakeLog(1048576, i + 10);
    total += content.size();
    entries.push_back({"game/log" + std::to_string(i) + ".log", std::move(content), 0});
  }
  std::ofstream raw(raw_out, std::ios::binary | std::ios::trunc);
  for (const auto& entry : entries) raw.write(entry.content.data(), static_cast<std::streamsize>(entry.content.size()));
  raw.close();
  std::string archive;
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    if (!vantrel::PackReport(entries.data(), static_cast<uint32_t>(entries.size()), true, &archive)) return 1;
    best = std::min(best, Seconds(start));
  }
  std::printf("input_bytes: %zu\narchive_bytes: %zu\nseconds: %.4f\npeak_rss_kib: %ld\n", total, archive.size(), best,
              PeakRssKib());
  return 0;
}

void Put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
}

int Gather() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-report-bench-XXXXXX").string();
  const std::string root = mkdtemp(pattern.data());
  const std::string game = root + "/game";
  const std::string local = root + "/local";
  for (int i = 0; i < 3; ++i) Put(game + "/D212000" + std::to_string(i) + ".txt", MakeLog(3145728, i));
  Put(game + "/d2loader.log", MakeLog(3145728, 7));
  Put(game + "/BnetLog.txt", MakeLog(2097152, 8));
  for (int i = 0; i < 45; ++i) Put(game + "/net" + std::to_string(i) + ".log", MakeLog(1048576 + 4096, 20 + i));
  for (int i = 0; i < 20; ++i) Put(game + "/plugin/p" + std::to_string(i) + ".log", MakeLog(65536, 80 + i));
  std::u16string wide = u"Version=1\r\nEventType=APPCRASH\r\nSig[0].Value=Game.exe\r\n";
  std::string wer("\xFF\xFE", 2);
  for (char16_t u : wide) wer.append({static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)});
  for (int i = 0; i < 4; ++i) {
    Put(local + "/Microsoft/Windows/WER/ReportArchive/AppCrash_Game.exe_" + std::to_string(i) + "/Report.wer", wer);
  }
  std::mt19937 random(3);
  std::string dump(16777216, '\0');
  for (char& c : dump) c = static_cast<char>(random());
  for (int i = 0; i < 3; ++i) Put(local + "/CrashDumps/Game.exe." + std::to_string(i) + ".dmp", dump);
  setenv("LOCALAPPDATA", local.c_str(), 1);
  unsetenv("ProgramData");
  std::string().swap(dump);

  vantrel::SetDebugHook([](std::string_view) {});
  vantrel::os::SetPostHook([](vantrel::os::WindowHandle, uint32_t) {});
  vantrel::LauncherState state;
  vantrel::WorkerContext context;
  context.state = &state;
  context.job_kind = vantrel::JobKind::kGather;
  context.computer_names = kComputers;
  context.user_names = kUsers;
  state.game_folder.Set(game);
  const long rss_before = PeakRssKib();
  const auto start = Clock::now();
  vantrel::RunGathering(context);
  const double seconds = Seconds(start);
  std::printf(
      "entries: %u\ntext_bytes: %llu\ndump_bytes: %llu\nseconds: %.4f\npeak_rss_kib: %ld\nrss_before_kib: %ld\n",
      state.report_entry_count, static_cast<unsigned long long>(state.report_text_size),
      static_cast<unsigned long long>(state.report_dump_size), seconds, PeakRssKib(), rss_before);
  std::filesystem::remove_all(root);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "anonymize") return Anonymize();
  if (mode == "pack" && argc > 2) return Pack(argv[2]);
  if (mode == "gather") return Gather();
  std::fprintf(stderr, "usage: report_bench anonymize | pack RAW_OUT | gather\n");
  return 2;
}
