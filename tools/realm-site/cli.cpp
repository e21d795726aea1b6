#include "realm-site/cli.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

#include "realm-site/export.h"
#include "realm-site/report_index.h"
#include "realm-site/reports.h"
#include "realm-site/server.h"
#include "realm-site/signing.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr const char* kUsage =
    "usage: realm-site serve  --root DIR [--listen HOST:PORT]   serve the realm (default 127.0.0.1:8080)\n"
    "                         [--tls-cert CERT.pem --tls-key KEY.pem]   over HTTPS\n"
    "                         [--max-connections N] (512) [--per-address N] (32)   connection caps; an IPv6\n"
    "                                           client's whole /64 is one address, as one host owns it\n"
    "                         [--uploads N] (64)   log uploads at once; the rest of the connections stay\n"
    "                                           for the manifest and files\n"
    "                         [--min-rate BYTES] (1024) [--rate-window S] (20) [--rate-grace S] (10)\n"
    "                                           a request body or an answer moving fewer bytes a second\n"
    "                                           than that over any window, past the grace, is cut (408\n"
    "                                           for a body): a player on the slowest link moves far more,\n"
    "                                           the window rides out a stall, the grace lets a fresh\n"
    "                                           connection start up\n"
    "                         when every connection is taken, a newcomer replaces the oldest one still\n"
    "                         waiting for its request (10 s at most) or below the minimum rate\n"
    "                         [--trust-proxy]   behind nginx on this machine: client addresses from X-Real-IP,\n"
    "                                           no cap per address unless --per-address is given\n"
    "       realm-site export --root DIR --out FOLDER          write the same answers as static files\n"
    "       serve and export: [--sign-key FILE [--signature-days DAYS]]   sign each manifest with the\n"
    "                         realm's secret key (from keygen, or minisign -G -W); signatures last\n"
    "                         14 days unless told otherwise, and serve signs again at half that\n"
    "       realm-site prune  --root DIR --older-than DAYS     delete log reports older than that\n"
    "       realm-site reindex --root DIR                      rebuild DIR/reports/index.sqlite (the console's\n"
    "                                                          index) from the stored reports; stop serve first\n"
    "       realm-site keygen --out DIR                        make the realm's signing key pair\n"
    "       realm-site --help\n"
    "\n"
    "DIR holds:\n"
    "  realm.json                    the realm's settings, for example\n"
    "      {\"realm\": \"My Realm\", \"address\": \"play.example.org\", \"gateway_name\": \"My Realm\",\n"
    "       \"site\": \"https://example.org\", \"revision\": \"2026-12\",\n"
    "       \"start\": {\"exe\": \"Diablo II.exe\", \"args\": \"-direct\"}, \"news\": \"Season 3 is open\",\n"
    "       \"operator_token\": \"at least 16 characters\", \"report_quota_mib\": 2048,\n"
    "       \"report_webhook\": \"https://chat.example.org/hooks/...\"}\n"
    "      optional: \"gateway_zone\" (default \"0\"), \"extra_gateways\": [{\"address\", \"zone\", \"name\"}]\n"
    "      the token opens /reports (Authorization: Bearer TOKEN, or as the password a browser asks for)\n"
    "      report_webhook gets {\"content\": \"...\"} when a new crash appears or one surges\n"
    "  files/                        the game files, as they lie in the game folder\n"
    "  launcher/VantrelLauncher.exe  the current launcher build (optional)\n"
    "  reports/                      log reports sent by launchers (at most report_quota_mib in all)\n"
    "Hashes are cached in DIR/.realm-site-cache.\n";

struct Options {
  std::string command;
  std::string root;
  std::string listen = "127.0.0.1:8080";
  std::string out;
  std::string tls_cert;
  std::string tls_key;
  std::string older_than;
  std::string max_connections;
  std::string per_address;
  std::string uploads;
  std::string min_rate;
  std::string rate_window;
  std::string rate_grace;
  std::string sign_key;
  std::string signature_days;
  bool trust_proxy = false;
};

bool ParseCount(const std::string& text, const char* flag, unsigned* value, std::string* error,
                uint32_t most = 100000) {
  uint32_t parsed = 0;
  if (!text.empty() && (!ParseU32(text, &parsed) || parsed == 0 || parsed > most)) {
    *error = std::string(flag) + " wants a number from 1 to " + std::to_string(most);
    return false;
  }
  if (!text.empty()) *value = parsed;
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  if (argc < 2) {
    *error = "say serve or export";
    return false;
  }
  options->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--trust-proxy") {
      options->trust_proxy = true;
      continue;
    }
    std::string* target = flag == "--root"              ? &options->root
                          : flag == "--listen"          ? &options->listen
                          : flag == "--out"             ? &options->out
                          : flag == "--tls-cert"        ? &options->tls_cert
                          : flag == "--tls-key"         ? &options->tls_key
                          : flag == "--older-than"      ? &options->older_than
                          : flag == "--max-connections" ? &options->max_connections
                          : flag == "--per-address"     ? &options->per_address
                          : flag == "--uploads"         ? &options->uploads
                          : flag == "--min-rate"        ? &options->min_rate
                          : flag == "--rate-window"     ? &options->rate_window
                          : flag == "--rate-grace"      ? &options->rate_grace
                          : flag == "--sign-key"        ? &options->sign_key
                          : flag == "--signature-days"  ? &options->signature_days
                                                        : nullptr;
    if (target == nullptr || i + 1 >= argc) {
      *error = target == nullptr ? "unknown option " + std::string(flag) : std::string(flag) + " needs a value";
      return false;
    }
    *target = argv[++i];
  }
  if (options->command != "serve" && options->command != "export" && options->command != "prune" &&
      options->command != "reindex") {
    *error = "unknown command " + options->command;
    return false;
  }
  if (options->root.empty()) {
    *error = "--root DIR is required";
    return false;
  }
  if (options->tls_cert.empty() != options->tls_key.empty()) {
    *error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (options->command == "export" && options->out.empty()) {
    *error = "export needs --out FOLDER";
    return false;
  }
  if (!options->signature_days.empty() && options->sign_key.empty()) {
    *error = "--signature-days goes with --sign-key";
    return false;
  }
  if (options->command == "prune" && options->older_than.empty()) {
    *error = "prune needs --older-than DAYS";
    return false;
  }
  return true;
}

bool ParseDays(const std::string& text, double* days) {
  char* end = nullptr;
  *days = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && *days >= 0 && *days <= 100000;
}

// How long a signature lasts: --signature-days, or 14 days.
bool SignatureLifetime(const Options& options, uint64_t* seconds) {
  *seconds = kDefaultSignatureLifetime;
  if (options.signature_days.empty()) return true;
  double days = 0;
  // Under a minute would expire before launchers could fetch it.
  if (!ParseDays(options.signature_days, &days) || days * 86400 < 60) return false;
  *seconds = static_cast<uint64_t>(days * 86400);
  return true;
}

}  // namespace

int RunRealmSite(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc >= 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    out << kUsage;
    return 0;
  }
  if (argc >= 2 && std::string_view(argv[1]) == "keygen") return RunKeygen(argc, argv, out, err);
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    err << "realm-site: " << error << "\n" << kUsage;
    return 2;
  }
  ListenAddress address;
  if (options.command == "serve" && !ParseListen(options.listen, &address, &error)) {
    err << "realm-site: " << error << "\n";
    return 2;
  }
  address.tls_cert = options.tls_cert;
  address.tls_key = options.tls_key;
  ServeLimits limits;
  limits.trust_proxy = options.trust_proxy;
  if (!ParseCount(options.max_connections, "--max-connections", &limits.max_connections, &error) ||
      !ParseCount(options.per_address, "--per-address", &limits.per_address_connections, &error) ||
      !ParseCount(options.uploads, "--uploads", &limits.upload_connections, &error, limits.max_connections) ||
      !ParseCount(options.min_rate, "--min-rate", &limits.min_rate.bytes_per_second, &error, 1048576) ||
      !ParseCount(options.rate_window, "--rate-window", &limits.min_rate.window_seconds, &error, 60) ||
      !ParseCount(options.rate_grace, "--rate-grace", &limits.min_rate.grace_seconds, &error, 3600)) {
    err << "realm-site: " << error << "\n";
    return 2;
  }
  // Behind a proxy every connection comes from the proxy: the cap per player is the proxy's
  // to keep (deploy/nginx does), and realm-site's own per-address cap would throttle it.
  uint64_t signature_lifetime = 0;
  if (!SignatureLifetime(options, &signature_lifetime)) {
    err << "realm-site: --signature-days wants a number of days, such as 14\n";
    return 2;
  }
  if (options.trust_proxy && options.per_address.empty()) limits.per_address_connections = limits.max_connections;
  if (options.command == "prune") {
    double days = 0;
    if (!ParseDays(options.older_than, &days)) {
      err << "realm-site: --older-than wants a number of days, such as 30\n";
      return 2;
    }
    uint64_t removed = 0;
    uint64_t freed = 0;
    if (!PruneReports(options.root, days, &removed, &freed, &error)) {
      err << "realm-site: " << error << "\n";
      return 1;
    }
    out << "realm-site: removed " << removed << " reports (" << freed << " bytes) older than " << options.older_than
        << " days\n";
    return 0;
  }
  if (options.command == "reindex") {
    const auto started = std::chrono::steady_clock::now();
    IndexCounts counts;
    if (!RebuildIndex(options.root + "/reports", isatty(STDOUT_FILENO) ? &out : nullptr, &counts, &error)) {
      err << "realm-site: " << error << "\n";
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out << "realm-site: indexed " << counts.reports << " reports in " << counts.groups << " crash groups in " << seconds
        << " s\n";
    return 0;
  }
  RealmConfig config;
  if (!LoadRealmConfig(options.root, &config, &error)) {
    err << "realm-site: " << error << "\n";
    return 1;
  }
  Site site(options.root, config);
  if (!options.sign_key.empty()) {
    std::shared_ptr<const ManifestSigner> signer = ManifestSigner::Load(options.sign_key, &error);
    if (signer == nullptr) {
      err << "realm-site: " << error << "\n";
      return 1;
    }
    site.SignWith(std::move(signer), signature_lifetime);
  }
  if (options.command == "export") {
    if (!ExportSite(site, options.out, &error)) {
      err << "realm-site: " << error << "\n";
      return 1;
    }
    out << "realm-site: exported " << site.Current()->files.size() << " files to " << options.out << "\n";
    return 0;
  }
  // Refuse at start rather than serve a realm that launchers will reject.
  if (!site.Refresh(&error)) {
    err << "realm-site: " << error << "\n";
    return 1;
  }
  return Serve(site, address, limits, out, err);
}

}  // namespace vantrel::site
