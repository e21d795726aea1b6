#pragma once
// The report archive: one local header + data per entry, the central directory, the end
// record. No descriptors, extras, comments or ZIP64; each entry deflated only when smaller.
#include <cstdint>
#include <string>

#include "launcher/state.h"

namespace vantrel {

// Packs `count` entries (crash dumps only when `include_crash_dumps`). False when memory
// runs out; `archive` is then empty.
bool PackReport(const ReportEntry* entries, uint32_t count, bool include_crash_dumps, std::string* archive);

}  // namespace vantrel
