// The key and signature parsers on arbitrary bytes: whatever they accept must survive the
// way back to text, and the checks that follow a parse must hold up on any value.
#include "support/minisign.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "realm/manifest_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vantrel::MinisignKey key;
  if (vantrel::ParseMinisignKey(text, &key) == vantrel::MinisignError::kNone) {
    vantrel::MinisignKey again;
    if (vantrel::ParseMinisignKey(vantrel::FormatMinisignKey(key), &again) != vantrel::MinisignError::kNone ||
        again.id != key.id || again.public_key != key.public_key) {
      std::abort();
    }
  }
  vantrel::MinisignSignature signature;
  if (vantrel::ParseMinisignSignature(text, &signature) == vantrel::MinisignError::kNone) {
    // Any bytes may stand for a public key; the check must only say no.
    vantrel::MinisignKey holder;
    holder.id = signature.key_id;
    for (size_t i = 0; i < holder.public_key.size() && i < size; ++i) holder.public_key[i] = data[i];
    const std::vector<vantrel::MinisignKey> keys = {holder};
    if (vantrel::CheckMinisignSignature(signature, keys, text) == vantrel::SignatureCheck::kUnknownKey) std::abort();
    // A comment read as ours gives the numbers that, written back, read the same.
    uint64_t serial = 0, expires = 0, serial_again = 0, expires_again = 0;
    if (vantrel::ParseManifestTrustedComment(signature.trusted_comment, &serial, &expires) &&
        (!vantrel::ParseManifestTrustedComment(vantrel::ManifestTrustedComment(serial, expires), &serial_again,
                                               &expires_again) ||
         serial_again != serial || expires_again != expires)) {
      std::abort();
    }
  }
  std::string bytes;
  if (vantrel::Base64Decode(text, &bytes) &&
      vantrel::Base64Encode({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}) != text) {
    std::abort();
  }
  return 0;
}
