#pragma once
// minisign public keys and signature files: parsed strictly and checked with OpenSSL's
// Ed25519 and BLAKE2b-512. Pure functions of values; every failure is a value.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vantrel {

inline constexpr size_t kEd25519KeyBytes = 32;
inline constexpr size_t kEd25519SignatureBytes = 64;

using KeyId = std::array<uint8_t, 8>;
using Ed25519Key = std::array<uint8_t, kEd25519KeyBytes>;
using Ed25519Signature = std::array<uint8_t, kEd25519SignatureBytes>;
using Blake2b512Digest = std::array<uint8_t, 64>;

struct MinisignKey {
  KeyId id{};
  Ed25519Key public_key{};
};

struct MinisignSignature {
  bool prehashed = true;  // "ED": signs BLAKE2b-512 of the file; "Ed": signs the file itself
  KeyId key_id{};
  Ed25519Signature signature{};
  std::string trusted_comment;          // the text after "trusted comment: ", without the line end
  Ed25519Signature global_signature{};  // over `signature` followed by the trusted comment
};

enum class MinisignError : uint8_t {
  kNone,
  kBadLayout,     // lines missing or out of order, a comment line without its prefix
  kBadBase64,     // not canonical base64 of whole bytes
  kBadLength,     // decodes to the wrong number of bytes
  kBadAlgorithm,  // not "Ed" (keys), not "Ed" or "ED" (signatures)
};

// A public key file ("untrusted comment:" line, then the base64 line) or the base64 line alone.
MinisignError ParseMinisignKey(std::string_view text, MinisignKey* key);
// A signature file: untrusted comment, signature line, trusted comment, global signature line.
// LF or CR LF line ends; a final line end is optional.
MinisignError ParseMinisignSignature(std::string_view text, MinisignSignature* signature);

enum class SignatureCheck : uint8_t {
  kValid,
  kUnknownKey,    // none of the keys has the signature's key id
  kBadSignature,  // the key id matched, but the file or the trusted comment doesn't verify
};

// Checks the signature of `message` and the global signature of its trusted comment, with
// whichever of `keys` carries the signature's key id.
SignatureCheck CheckMinisignSignature(const MinisignSignature& signature, std::span<const MinisignKey> keys,
                                      std::string_view message);

// One Ed25519 verification (OpenSSL, no digest: Ed25519 hashes internally).
bool VerifyEd25519(const Ed25519Key& public_key, std::string_view message, const Ed25519Signature& signature);
// False only when OpenSSL can't run the digest (out of memory, a build without BLAKE2).
bool Blake2b512(std::string_view bytes, Blake2b512Digest* digest);

std::string Base64Encode(std::span<const uint8_t> bytes);
// Canonical base64 with "=" padding only; anything else (blanks, line ends included) fails.
bool Base64Decode(std::string_view text, std::string* bytes);

// The key id as minisign prints it: upper-case hex of the id read as a little-endian number,
// without leading zeros.
std::string KeyIdText(const KeyId& id);
// The base64 line of a public key, and the whole file as minisign writes it.
std::string MinisignKeyLine(const MinisignKey& key);
std::string FormatMinisignKey(const MinisignKey& key);

}  // namespace vantrel
