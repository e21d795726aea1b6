// Any body a site might send: reading and validating must never crash, and a manifest that
// passes must hold only what the launcher is willing to use.
#include "realm/manifest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "realm/game_path.h"
#include "support/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  vantrel::Manifest manifest;
  if (vantrel::ParseManifest(body, &manifest) && vantrel::ValidateManifest(manifest).empty()) {
    if (manifest.address.empty() || manifest.address.size() > 120) std::abort();
    if (!vantrel::IsGamePath(manifest.exe)) std::abort();
    for (const vantrel::ManifestFile& file : manifest.files) {
      if (!vantrel::IsGamePath(file.path) || !vantrel::IsHashText(file.sha256)) std::abort();
    }
  }
  uint64_t value = 0;
  vantrel::ParseWholeNumber(body, &value);
  return 0;
}
