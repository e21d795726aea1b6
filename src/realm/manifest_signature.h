#pragma once
// The realm's signature over its manifest: a minisign signature of the exact manifest bytes
// whose trusted comment names a serial and an expiry. A keyed launcher judges it before it
// reads a single field of the manifest.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "realm/http_client.h"
#include "support/minisign.h"

namespace vantrel {

inline constexpr char kManifestSignaturePath[] = "/api/launcher/manifest.minisig";
inline constexpr size_t kManifestSignatureLimit = 4096;

// "vantrel-manifest serial=<N> expires=<unix seconds>"
std::string ManifestTrustedComment(uint64_t serial, uint64_t expires);
// Exactly that form, both numbers plain decimals that fit 64 bits.
bool ParseManifestTrustedComment(std::string_view comment, uint64_t* serial, uint64_t* expires);

enum class SignatureVerdict : uint8_t {
  kAccepted,
  kUnsigned,  // no signature, or one that can't be read as the realm's manifest signature
  kTampered,  // made by another key, or not over these bytes
  kReplayed,  // a serial below the highest one already accepted
  kExpired,   // past its expiry by the player's clock
};

struct SignatureJudgement {
  SignatureVerdict verdict = SignatureVerdict::kUnsigned;
  uint64_t serial = 0;  // the signed serial, when the trusted comment could be read
};

// Judges a signature fetched beside `manifest_bytes`. `highest_serial` is the highest serial
// accepted before (0 when none), `now` the player's clock in Unix seconds. An equal serial is
// accepted (the same list again); a signature is good up to and including its expiry second.
SignatureJudgement JudgeManifestSignature(std::span<const MinisignKey> keys, const FetchResult& signature_answer,
                                          std::string_view manifest_bytes, uint64_t highest_serial, uint64_t now);

}  // namespace vantrel
