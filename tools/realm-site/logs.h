#pragma once
// Log reports sent by launchers: stored under DIR/reports/<id> with the sender's account and
// note, shown to whoever holds the private link, listed only with the operator's token.
#include <httplib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "realm-site/catalog.h"

namespace vantrel::site {

inline constexpr size_t kMaxReportUpload = 67108864;  // 64 MiB

struct ZipEntryInfo {
  std::string name;
  uint16_t method = 0;
  uint32_t stored_size = 0;
  uint32_t size = 0;
};

// Reads a zip archive's central directory, checking every record against the archive's
// bounds and its local header. False when the bytes are not a zip archive.
bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntryInfo>* entries);

// 32 lowercase hex digits from the OS generator (128 bits); empty when it fails.
std::string NewReportId();

void ConfigureLogRoutes(httplib::Server& server, Site& site);

}  // namespace vantrel::site
