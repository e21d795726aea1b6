// Any bytes uploaded as a crash dump: every size and offset in them is checked before it is
// used, so reading never goes past the end, and the signature is one the console knows.
#include "realm-site/minidump.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "realm-site/crash_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so ASan sees any read past the end.
  const std::vector<char> bytes(data, data + size);
  const std::string_view dump(bytes.data(), bytes.size());
  vantrel::site::DumpFault fault;
  if (vantrel::site::ReadDumpFault(dump, &fault) && fault.in_module && fault.module.find('\\') != std::string::npos) {
    std::abort();
  }
  const std::string signature = vantrel::site::DumpSignature(dump);
  if (signature != vantrel::site::kUnreadableCrash && signature.substr(8, 4) != " in ") std::abort();
  return 0;
}
