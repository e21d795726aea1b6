#pragma once
// The realm's site over HTTP: the answers the launcher asks for (the manifest, game files, the
// launcher build), the gateway file and the report routes, on the HTTP layer of serving.h.
#include <iosfwd>

#include "realm-site/catalog.h"
#include "realm-site/reports.h"
#include "realm-site/serving.h"

namespace vantrel::site {

// Registers every route. The manifest and the files come from the catalog snapshot current
// when each request arrives; nothing is scanned per request.
void AddRealmRoutes(HttpServer& server, Site& site, Reports& reports);

// Serves until SIGINT or SIGTERM. Prints "realm-site: serving <root> at http(s)://host:port".
int Serve(Site& site, const ListenAddress& address, const ServeLimits& limits, std::ostream& out, std::ostream& err);

}  // namespace vantrel::site
