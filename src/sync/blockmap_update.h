#pragma once
// Brings one large file up to date by its block map: chunks the launcher already has (in the
// old file, or in place in a leftover ".part") are copied or kept, the rest fetched as single
// ranges, every chunk checked against its hash before it is written, the whole file checked
// at the end. Patching, repair and resume are this one path. Anything unexpected hands over to
// the whole download, with the ".part" left as a true beginning of the file or removed.
#include <cstdint>
#include <string>
#include <string_view>

#include "realm/http_client.h"
#include "realm/manifest.h"

namespace vantrel {

struct BlockmapOutcome {
  bool placed = false;    // the ".part" holds the whole file, verified
  bool resume = false;    // otherwise: the ".part" holds the file's first bytes, to be continued
  uint64_t reported = 0;  // bytes counted through the progress callback so far
};

// `part_has_bytes`: the ".part" holds bytes an earlier run had of this very file.
BlockmapOutcome UpdateByBlockmap(HttpSession& session, std::string_view realm_address, std::string_view file_address,
                                 const ManifestFile& entry, const std::string& full_path, const std::string& part_path,
                                 bool part_has_bytes, const DownloadProgress& progress);

// realm address + "/api/launcher/blockmap/" + the file's hash text.
std::string BlockmapAddress(std::string_view realm_address, std::string_view sha256_text);

}  // namespace vantrel
