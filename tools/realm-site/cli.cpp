#include "realm-site/cli.h"

#include <ostream>
#include <string>
#include <string_view>

#include "realm-site/export.h"
#include "realm-site/server.h"
#include "realm-site/signing.h"

namespace vantrel::site {
namespace {

constexpr const char* kUsage =
    "usage: realm-site serve  --root DIR [--listen HOST:PORT]   serve the realm (default 127.0.0.1:8080)\n"
    "                         [--tls-cert CERT.pem --tls-key KEY.pem]   over HTTPS\n"
    "       realm-site export --root DIR --out FOLDER          write the same answers as static files\n"
    "       realm-site keygen --out DIR                        make the realm's signing key pair\n"
    "       realm-site --help\n"
    "\n"
    "DIR holds:\n"
    "  realm.json                    the realm's settings, for example\n"
    "      {\"realm\": \"My Realm\", \"address\": \"play.example.org\", \"gateway_name\": \"My Realm\",\n"
    "       \"site\": \"https://example.org\", \"revision\": \"2026-12\",\n"
    "       \"start\": {\"exe\": \"Diablo II.exe\", \"args\": \"-direct\"}, \"news\": \"Season 3 is open\",\n"
    "       \"operator_token\": \"...\"}\n"
    "      optional: \"gateway_zone\" (default \"0\"), \"extra_gateways\": [{\"address\", \"zone\", \"name\"}]\n"
    "  files/                        the game files, as they lie in the game folder\n"
    "  launcher/VantrelLauncher.exe  the current launcher build (optional)\n"
    "Hashes are cached in DIR/.realm-site-cache.\n";

struct Options {
  std::string command;
  std::string root;
  std::string listen = "127.0.0.1:8080";
  std::string out;
  std::string tls_cert;
  std::string tls_key;
};

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  if (argc < 2) {
    *error = "say serve or export";
    return false;
  }
  options->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view flag = argv[i];
    std::string* target = flag == "--root"       ? &options->root
                          : flag == "--listen"   ? &options->listen
                          : flag == "--out"      ? &options->out
                          : flag == "--tls-cert" ? &options->tls_cert
                          : flag == "--tls-key"  ? &options->tls_key
                                                 : nullptr;
    if (target == nullptr || i + 1 >= argc) {
      *error = target == nullptr ? "unknown option " + std::string(flag) : std::string(flag) + " needs a value";
      return false;
    }
    *target = argv[++i];
  }
  if (options->command != "serve" && options->command != "export") {
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
  RealmConfig config;
  if (!LoadRealmConfig(options.root, &config, &error)) {
    err << "realm-site: " << error << "\n";
    return 1;
  }
  Site site(options.root, config);
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
  return Serve(site, address, out, err);
}

}  // namespace vantrel::site
