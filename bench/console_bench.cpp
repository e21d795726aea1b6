// The report console at scale, natively (not part of the test command):
//   console_bench fill DIR COUNT          writes COUNT stored reports into the realm DIR, as
//                                          uploads leave them, spread over the last 30 days
//   console_bench run REALM_SITE DIR COUNT fills DIR with COUNT reports, then measures
//                                          `realm-site reindex`, indexing per upload, and the
//                                          console's pages under `realm-site serve`
// The realm looks like a busy one: 300 crash groups with a long tail, 5,000 accounts, crashes
// sent again, three file sets and launcher builds, logs, WER reports and dumps of real sizes.
// Prints "key: value" lines.
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "realm-site/report_index.h"
#include "report/zip.h"
#include "unit/site/minidump_builder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kGroups = 300;
constexpr int kAccounts = 5000;
constexpr int64_t kDay = 86400;
constexpr const char* kToken = "bench-console-token-0123";

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

class Zipf {
 public:
  Zipf(int count, double exponent) {
    double total = 0;
    for (int i = 0; i < count; ++i) cumulative_.push_back(total += 1.0 / std::pow(i + 1, exponent));
  }
  int operator()(std::mt19937_64& rng) const {
    const double pick = std::uniform_real_distribution<double>(0, cumulative_.back())(rng);
    return static_cast<int>(std::lower_bound(cumulative_.begin(), cumulative_.end(), pick) - cumulative_.begin());
  }

 private:
  std::vector<double> cumulative_;
};

std::string Hex(uint64_t value, int width) {
  char text[32];
  snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(value));
  return text;
}

std::string Log(std::mt19937_64& rng, size_t size) {
  static const char* kLines[] = {"%02d:%02d:%02d  Loading Data\\Global\\Excel\\Levels.txt (%d rows)\n",
                                 "%02d:%02d:%02d  net: joined game %d on gateway play.bench\n",
                                 "%02d:%02d:%02d  D2Client: frame time %d ms, %d objects in view\n",
                                 "%02d:%02d:%02d  Storm: SFileOpenArchive patch_d2.mpq ok (%d files)\n"};
  std::string log;
  char line[200];
  while (log.size() < size) {
    const int pick = static_cast<int>(rng() % 4);
    snprintf(line, sizeof line, kLines[pick], static_cast<int>(rng() % 24), static_cast<int>(rng() % 60),
             static_cast<int>(rng() % 60), static_cast<int>(rng() % 5000), static_cast<int>(rng() % 900));
    log += line;
  }
  return log;
}

struct Filler {
  std::mt19937_64 rng;
  Zipf groups{kGroups, 1.1};
  Zipf accounts{kAccounts, 0.8};
  std::vector<std::string> last_identifier = std::vector<std::string>(kGroups);

  // One stored report received at `received`: DIR/reports/<id>/report.zip and meta.json.
  std::string Write(const std::string& reports, int64_t received, int64_t now) {
    const int64_t age = now - received;
    const std::string file_set = age > 20 * kDay ? "r1" : age > 5 * kDay ? "r2" : "r3";
    std::string launcher = file_set == "r1" ? "1f00aa01" : file_set == "r2" ? "1f00aa02" : "1f00aa03";
    if (rng() % 10 == 0) launcher = "1f00aa00";
    int group = groups(rng);
    if (group >= 290 && age > 4 * kDay) group -= 150;  // the newest groups came with r3
    std::vector<vantrel::ReportEntry> entries;
    entries.push_back(
        {"game/D2" + std::to_string(100000 + rng() % 900000) + ".txt", Log(rng, 8000 + rng() % 32000), 0});
    entries.push_back({"game/BnetLog.txt", Log(rng, 2000 + rng() % 4000), 0});
    const bool crashed = rng() % 10 != 0;
    if (crashed) {
      const std::string folder = "crash/AppCrash_Game.exe_" + Hex(rng(), 16);
      const bool dump_only = group % 10 == 3;
      if (!dump_only) {
        std::string identifier = Hex(rng(), 8) + "-" + Hex(rng() % 65536, 4) + "-" + Hex(rng(), 12);
        if (!last_identifier[group].empty() && rng() % 100 < 15) identifier = last_identifier[group];
        last_identifier[group] = identifier;
        std::string wer = "Version=1\r\nEventTime=" + std::to_string(116444736000000000ll + received * 10000000ll) +
                          "\r\nReportIdentifier=" + identifier + "\r\n";
        if (group % 10 == 7) {
          wer += "EventType=AppHangB1\r\nSig[0].Value=Game.exe\r\nSig[1].Value=1.14." + std::to_string(group) + "\r\n";
        } else {
          static const char* kCodes[] = {"c0000005", "c0000409", "c0000374", "80000003"};
          wer += "EventType=APPCRASH\r\nSig[0].Value=Game.exe\r\nSig[1].Value=1.14.3.71\r\nSig[3].Value=D2Mod" +
                 std::to_string(group) + ".dll\r\nSig[4].Value=1.0.0." + std::to_string(group % 7) +
                 "\r\nSig[6].Value=" + kCodes[group % 4] + "\r\nSig[7].Value=" + Hex(group * 7919 % 0xFFFFF, 8) +
                 "\r\n";
        }
        for (int m = 0; m < 60; ++m) {
          wer +=
              "LoadedModule[" + std::to_string(m) + "]=C:\\Windows\\System32\\module" + std::to_string(m) + ".dll\r\n";
        }
        entries.push_back({folder + "/Report.wer.txt", wer, 0});
      }
      if (dump_only || rng() % 100 < 30) {
        vantrel::site::MinidumpBuilder dump;
        dump.exception_address = 0x10000000ull + group * 0x10000 + 0x1234;
        for (int m = 0; m < 40; ++m) {
          const std::u16string name = u"C:\\Games\\D2Mod" + std::u16string(1, u'A' + m % 26) + u".dll";
          dump.modules.push_back({0x20000000ull + m * 0x10000, 0x8000, name});
        }
        dump.modules.push_back({0x10000000ull + group * 0x10000, 0x10000, u"C:\\Games\\DumpMod.dll"});
        std::string bytes = dump.Build();
        // Stack and heap pages: half noise, half zeros.
        const size_t size = 48000 + rng() % 48000;
        while (bytes.size() < size) bytes.push_back(bytes.size() % 2 ? static_cast<char>(rng()) : '\0');
        entries.push_back(
            {dump_only ? "crash/Game.exe." + std::to_string(rng() % 9000) + ".dmp" : folder + "/memory.hdmp", bytes,
             1});
      }
    }
    entries.push_back({"launcher.txt",
                       "Launcher " + launcher +
                           " for https://bench.example\nWindows 10.0 build 19045\nRealm: Bench at "
                           "play.bench\nFile set: " +
                           file_set +
                           "\nGame folder: C:\\Games\\Diablo II\nStarts: Game.exe \n"
                           "Last check: Up to date. \nOther files in this upload: " +
                           std::to_string(entries.size()) + "\n",
                       0});
    std::string archive;
    vantrel::PackReport(entries.data(), static_cast<uint32_t>(entries.size()), true, &archive);
    const std::string id = Hex(rng(), 16) + Hex(rng(), 16);
    fs::create_directories(reports + "/" + id);
    std::ofstream(reports + "/" + id + "/report.zip", std::ios::binary) << archive;
    static const char* kNotes[] = {"",
                                   "",
                                   "",
                                   "crashed entering act 2",
                                   "lag then crash",
                                   "froze at the waypoint",
                                   "crash when trading",
                                   "black screen after cinematic"};
    char when[40];
    const time_t t = static_cast<time_t>(received);
    struct tm parts {};
    gmtime_r(&t, &parts);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &parts);
    const int account = accounts(rng);
    const nlohmann::json meta = {{"account", rng() % 20 == 0 ? "" : "player" + std::to_string(account)},
                                 {"note", kNotes[rng() % 8]},
                                 {"received", when},
                                 {"bytes", archive.size()},
                                 {"entries", entries.size()}};
    std::ofstream(reports + "/" + id + "/meta.json") << meta.dump();
    return id;
  }
};

void Fill(const std::string& root, int count, int64_t now) {
  fs::create_directories(root + "/files");
  std::ofstream(root + "/files/Game.exe") << "MZ";
  std::ofstream(root + "/realm.json") << nlohmann::json{
      {"realm", "Bench Realm"},
      {"address", "play.bench"},
      {"operator_token", kToken},
      {"revision", "r3"}}.dump();
  const auto started = Clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&, w] {
      Filler filler{std::mt19937_64(1234 + w)};
      for (int i = w; i < count; i += 2) {
        filler.Write(root + "/reports", now - static_cast<int64_t>(filler.rng() % (30 * kDay)), now);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  printf("fill_reports: %d\nfill_seconds: %.1f\n", count, Seconds(started));
}

// Runs a program to its end; its peak memory in KiB.
long RunChild(const std::vector<std::string>& args, double* seconds) {
  const auto started = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  *seconds = Seconds(started);
  return usage.ru_maxrss;
}

void Percentiles(const char* name, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  printf("%s_median_ms: %.1f\n%s_p95_ms: %.1f\n", name, times[times.size() / 2] * 1000, name,
         times[times.size() * 95 / 100] * 1000);
}

long VmHwmKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

int Run(const std::string& realm_site, const std::string& root, int count) {
  const int64_t now = time(nullptr);
  Fill(root, count, now);

  double seconds = 0;
  const long reindex_kib = RunChild({realm_site, "reindex", "--root", root}, &seconds);
  printf("reindex_seconds: %.1f\nreindex_reports_per_s: %.0f\nreindex_peak_mib: %.1f\n", seconds, count / seconds,
         reindex_kib / 1024.0);

  {
    // Indexing as an upload does it, on the full index.
    vantrel::site::ReportIndex index(root + "/reports", "r3");
    std::string error;
    const auto started = Clock::now();
    if (!index.Open(std::cerr, &error)) {
      fprintf(stderr, "console_bench: %s\n", error.c_str());
      return 1;
    }
    printf("index_load_seconds: %.2f\n", Seconds(started));
    Filler filler{std::mt19937_64(99)};
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
      const std::string id = filler.Write(root + "/reports", now, now);
      const auto at = Clock::now();
      index.Add(id, now);
      times.push_back(Seconds(at));
    }
    Percentiles("index_per_upload", times);
  }

  const int port = 20000 + static_cast<int>(getpid() % 20000);
  const pid_t server = fork();
  if (server == 0) {
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    execl(realm_site.c_str(), realm_site.c_str(), "serve", "--root", root.c_str(), "--listen", listen.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  httplib::Client client("127.0.0.1", port);
  client.set_default_headers({{"Authorization", std::string("Bearer ") + kToken}});
  client.set_read_timeout(60, 0);
  const auto waiting = Clock::now();
  httplib::Result first = client.Get("/reports/groups.json");
  while (!first && Seconds(waiting) < 120) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first = client.Get("/reports/groups.json");
  }
  if (!first || first->status != 200) {
    fprintf(stderr, "console_bench: the server didn't answer\n");
    kill(server, SIGTERM);
    return 1;
  }
  printf("serve_start_seconds: %.2f\n", Seconds(waiting));
  const std::string top = nlohmann::json::parse(first->body)["groups"][0]["id"];
  const std::pair<const char*, std::string> pages[] = {
      {"page_reports", "/reports"},
      {"page_filtered", "/reports?file_set=r2&launcher=1f00aa02&days=14"},
      {"page_search", "/reports?q=player42"},
      {"page_group", "/reports/group/" + top},
      {"json_groups", "/reports/groups.json?days=7"}};
  for (const auto& [name, path] : pages) {
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
      const auto at = Clock::now();
      auto answer = client.Get(path.c_str());
      times.push_back(Seconds(at));
      if (!answer || answer->status != 200) fprintf(stderr, "console_bench: %s failed\n", path.c_str());
    }
    Percentiles(name, times);
  }
  printf("serve_peak_mib: %.1f\n", VmHwmKib(server) / 1024.0);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fill" && argc == 4) {
    Fill(argv[2], std::atoi(argv[3]), time(nullptr));
    return 0;
  }
  if (mode == "run" && argc == 5) return Run(argv[2], argv[3], std::atoi(argv[4]));
  fprintf(stderr, "usage: console_bench fill DIR COUNT | run REALM_SITE DIR COUNT\n");
  return 2;
}
