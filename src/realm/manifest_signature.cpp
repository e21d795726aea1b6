#include "realm/manifest_signature.h"

#include "support/text.h"

namespace vantrel {
namespace {

constexpr std::string_view kCommentHead = "vantrel-manifest serial=";
constexpr std::string_view kExpiresField = " expires=";

}  // namespace

std::string ManifestTrustedComment(uint64_t serial, uint64_t expires) {
  return std::string(kCommentHead) + Decimal(serial) + std::string(kExpiresField) + Decimal(expires);
}

bool ParseManifestTrustedComment(std::string_view comment, uint64_t* serial, uint64_t* expires) {
  if (!comment.starts_with(kCommentHead)) return false;
  comment.remove_prefix(kCommentHead.size());
  const size_t split = comment.find(kExpiresField);
  if (split == std::string_view::npos) return false;
  return ParseU64(comment.substr(0, split), serial) && ParseU64(comment.substr(split + kExpiresField.size()), expires);
}

SignatureJudgement JudgeManifestSignature(std::span<const MinisignKey> keys, const FetchResult& signature_answer,
                                          std::string_view manifest_bytes, uint64_t highest_serial, uint64_t now) {
  SignatureJudgement judgement;
  MinisignSignature signature;
  if (signature_answer.error != HttpError::kNone || signature_answer.status != 200 ||
      ParseMinisignSignature(signature_answer.body, &signature) != MinisignError::kNone) {
    return judgement;
  }
  if (CheckMinisignSignature(signature, keys, manifest_bytes) != SignatureCheck::kValid) {
    judgement.verdict = SignatureVerdict::kTampered;
    return judgement;
  }
  // Signed by the realm's key but without our comment (minisign's default one, say): there is
  // no serial or expiry to hold it to, so it counts as no manifest signature at all.
  uint64_t expires = 0;
  if (!ParseManifestTrustedComment(signature.trusted_comment, &judgement.serial, &expires)) return judgement;
  if (judgement.serial < highest_serial) {
    judgement.verdict = SignatureVerdict::kReplayed;
  } else if (now > expires) {
    judgement.verdict = SignatureVerdict::kExpired;
  } else {
    judgement.verdict = SignatureVerdict::kAccepted;
  }
  return judgement;
}

}  // namespace vantrel
