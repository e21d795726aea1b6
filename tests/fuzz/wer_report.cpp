// Any Report.wer text a player might upload: reading it never crashes, and its signature is
// always one of the forms the console knows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "realm-site/crash_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string signature = vantrel::site::WerSignatureOfText(text);
  const bool known = signature == vantrel::site::kUnreadableCrash || signature.rfind("hang in ", 0) == 0 ||
                     (signature.size() > 12 && signature.substr(8, 4) == " in ");
  if (!known) std::abort();
  if (vantrel::site::GroupId(signature).size() != 16) std::abort();
  return 0;
}
