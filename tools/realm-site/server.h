#pragma once
// The realm's site over HTTP: the manifest, game files, the launcher build and the gateway
// file. ConfigureRoutes is the one place routes are registered.
#include <httplib.h>

#include <iosfwd>
#include <string>
#include <string_view>

#include "realm-site/catalog.h"

namespace vantrel::site {

struct ListenAddress {
  std::string host;
  int port = 0;  // 0: any free port (printed at start)
  // HTTPS when both are given: PEM certificate (chain) and private key files.
  std::string tls_cert;
  std::string tls_key;
};

bool ParseListen(std::string_view text, ListenAddress* address, std::string* error);

void ConfigureRoutes(httplib::Server& server, Site& site);

// Serves until SIGINT or SIGTERM. Prints "realm-site: serving <root> at http(s)://host:port".
int Serve(Site& site, const ListenAddress& address, std::ostream& out, std::ostream& err);

}  // namespace vantrel::site
