#pragma once
// The realm's signing key: making a key pair, loading a secret key, signing the exact bytes of
// a manifest in minisign's format, and the serial store that makes every signature's serial
// higher than the last one, across restarts.
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "support/minisign.h"

namespace vantrel::site {

inline constexpr uint64_t kDefaultSignatureLifetime = 14 * 24 * 60 * 60;  // seconds
inline constexpr char kPublicKeyFile[] = "realm.pub";
inline constexpr char kSecretKeyFile[] = "realm.key";

// Writes FOLDER/realm.pub (a minisign public key file) and FOLDER/realm.key (the secret key,
// unencrypted, mode 0600), creating FOLDER if needed. Refuses when either file exists.
bool GenerateKeyPair(const std::string& folder, MinisignKey* public_key, std::string* error);

// A secret key loaded once; Sign may be called from any thread.
class ManifestSigner {
 public:
  // A key written by `realm-site keygen`, or by `minisign -G -W` (no password).
  static std::unique_ptr<ManifestSigner> Load(const std::string& secret_key_file, std::string* error);
  ~ManifestSigner();
  ManifestSigner(const ManifestSigner&) = delete;
  ManifestSigner& operator=(const ManifestSigner&) = delete;

  const MinisignKey& PublicKey() const { return public_key_; }
  // The .minisig text for exactly `manifest_bytes` (algorithm "ED", trusted comment
  // "vantrel-manifest serial=<serial> expires=<expires>"); empty only if OpenSSL fails.
  std::string Sign(std::string_view manifest_bytes, uint64_t serial, uint64_t expires) const;

 private:
  ManifestSigner(void* key, const MinisignKey& public_key) : key_(key), public_key_(public_key) {}
  void* key_;  // EVP_PKEY
  MinisignKey public_key_;
};

// The next serial for the realm in ROOT, kept in ROOT/.realm-site-serial: the larger of the
// last one + 1 and the clock in Unix seconds, so a lost or restored file never goes back
// below what launchers have seen. Written durably (and under a lock) before it is returned;
// false with a reason when the store can't be read or written.
bool NextSerial(const std::string& root, uint64_t now, uint64_t* serial, std::string* error);
bool NextSerial(const std::string& root, uint64_t* serial, std::string* error);

// Unix seconds now.
uint64_t UnixNow();

// `realm-site keygen --out DIR`. Returns the process exit code.
int RunKeygen(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace vantrel::site
