// Both ledger readers on arbitrary bytes; what they accept must survive a format round trip.
#include "sync/ledgers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vantrel::HashLedger hashes = vantrel::ParseHashLedger(text);
  if (vantrel::ParseHashLedger(vantrel::FormatHashLedger(hashes)).size() != hashes.size()) std::abort();
  const vantrel::WrittenLedger written = vantrel::ParseWrittenLedger(text);
  if (vantrel::ParseWrittenLedger(vantrel::FormatWrittenLedger(written)) != written) std::abort();
  return 0;
}
