// What checking the manifest's signature adds to an update run, natively:
//   signature_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER REALM_PUB RUNS
// Runs the update run unkeyed once to fill the ledger, then RUNS times each unkeyed and keyed,
// interleaved, over the unchanged folder, and prints the median of each and their difference.
// Then times the check alone (judging the fetched signature against the fetched manifest).
// Exits 1 unless every run ended "Up to date".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/jobs.h"
#include "launcher/state.h"
#include "realm/manifest.h"
#include "realm/manifest_signature.h"
#include "support/debug_output.h"
#include "support/os.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_mutex;
std::string g_finish;

void KeepFinish(std::string_view line) {
  constexpr std::string_view kPrefix = "[vantrel] finish: ";
  if (line.substr(0, kPrefix.size()) != kPrefix) return;
  std::lock_guard<std::mutex> guard(g_mutex);
  g_finish = std::string(line.substr(kPrefix.size()));
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One update run; false unless it ended "Up to date".
bool TimedRun(vantrel::WorkerContext& context, double* ms) {
  context.state->busy = true;
  const auto start = Clock::now();
  vantrel::RunJob(context);
  *ms = Milliseconds(Clock::now() - start);
  std::lock_guard<std::mutex> guard(g_mutex);
  if (g_finish.rfind("Up to date", 0) == 0) return true;
  std::fprintf(stderr, "run ended: %s\n", g_finish.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: signature_bench SITE_URL GAME_FOLDER SETTINGS_FOLDER REALM_PUB RUNS\n");
    return 2;
  }
  std::string pub_text;
  vantrel::MinisignKey key;
  if (vantrel::os::ReadWholeFile(argv[4], 4096, &pub_text) != vantrel::os::kOk ||
      vantrel::ParseMinisignKey(pub_text, &key) != vantrel::MinisignError::kNone) {
    std::fprintf(stderr, "can't read the public key %s\n", argv[4]);
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[5]));
  vantrel::SetDebugHook(KeepFinish);
  vantrel::os::SetPostHook([](vantrel::os::WindowHandle, uint32_t) {});
  vantrel::LauncherState state;
  vantrel::WorkerContext context;
  context.state = &state;
  context.job_kind = vantrel::JobKind::kUpdate;
  context.realm_address = argv[1];
  context.settings_folder = argv[3];
  state.game_folder.Set(argv[2]);
  state.game_program.Set("Game.exe");

  double ms = 0;
  if (!TimedRun(context, &ms)) return 1;  // fills the ledger
  std::vector<double> plain, keyed;
  for (int i = 0; i < runs; ++i) {
    context.realm_keys = vantrel::RealmKeys();
    if (!TimedRun(context, &ms)) return 1;
    plain.push_back(ms);
    context.realm_keys = vantrel::RealmKeys{true, {key}};
    if (!TimedRun(context, &ms)) return 1;
    keyed.push_back(ms);
  }

  vantrel::SessionPtr session;
  if (vantrel::OpenSession(&session) != vantrel::HttpError::kNone) return 1;
  const vantrel::FetchResult manifest = vantrel::FetchManifestAnswer(*session, context.realm_address);
  const vantrel::FetchResult signature =
      vantrel::Fetch(*session, "GET", context.realm_address + vantrel::kManifestSignaturePath, {}, {},
                     vantrel::kManifestSignatureLimit);
  constexpr int kChecks = 200;
  const auto start = Clock::now();
  for (int i = 0; i < kChecks; ++i) {
    if (vantrel::JudgeManifestSignature(context.realm_keys.keys, signature, manifest.body, 0, 0).verdict !=
        vantrel::SignatureVerdict::kAccepted) {
      std::fprintf(stderr, "the signature was not accepted\n");
      return 1;
    }
  }
  const double check_ms = Milliseconds(Clock::now() - start) / kChecks;

  std::printf("manifest_bytes: %zu\n", manifest.body.size());
  std::printf("unkeyed_run_ms: %.3f\nkeyed_run_ms: %.3f\nadded_ms: %.3f\ncheck_only_ms: %.3f\n", Median(plain),
              Median(keyed), Median(keyed) - Median(plain), check_ms);
  return 0;
}
