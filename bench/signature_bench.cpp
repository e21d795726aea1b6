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
#include <string>
#include <vector>

#include "native_run.h"
#include "realm/manifest.h"
#include "realm/manifest_signature.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One update run; false unless it ended "Up to date".
bool TimedRun(bench::NativeRun& run, double* ms) {
  const auto start = Clock::now();
  const std::string finish = run.Run();
  *ms = Milliseconds(Clock::now() - start);
  if (finish.rfind("Up to date", 0) == 0) return true;
  std::fprintf(stderr, "run ended: %s\n", finish.c_str());
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
  bench::NativeRun run(argv[1], argv[2], argv[3], "Game.exe");
  vantrel::WorkerContext& context = run.context;

  double ms = 0;
  if (!TimedRun(run, &ms)) return 1;  // fills the ledger
  std::vector<double> plain, keyed;
  for (int i = 0; i < runs; ++i) {
    context.realm_keys = vantrel::RealmKeys();
    if (!TimedRun(run, &ms)) return 1;
    plain.push_back(ms);
    context.realm_keys = vantrel::RealmKeys{true, {key}};
    if (!TimedRun(run, &ms)) return 1;
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
