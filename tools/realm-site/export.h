#pragma once
// Writes the site's answers as plain files so any web server or CDN can serve the realm:
// api/launcher/manifest, api/launcher/file/<path>, launcher/download, client-pack/gateway.reg.
#include <string>

#include "realm-site/catalog.h"

namespace vantrel::site {

inline constexpr const char* kExportMarker = ".realm-site-export";

// Refuses an output folder inside the realm folder, and a non-empty one that an earlier export
// didn't write (it would be emptied). Copies are checked against the catalog after copying.
bool ExportSite(Site& site, const std::string& out_dir, std::string* error);

}  // namespace vantrel::site
