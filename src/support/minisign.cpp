#include "support/minisign.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace vantrel {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kAlgorithmBytes = 2;
constexpr size_t kKeyBytes = kAlgorithmBytes + sizeof(KeyId) + kEd25519KeyBytes;
constexpr size_t kSignatureBytes = kAlgorithmBytes + sizeof(KeyId) + kEd25519SignatureBytes;

// Splits at LF, each line without a trailing CR. A final line end gives no empty last line.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

template <size_t N>
void CopyBytes(const std::string& from, size_t at, std::array<uint8_t, N>* to) {
  std::memcpy(to->data(), from.data() + at, N);
}

// Base64 of exactly `bytes` bytes starting with the two-byte algorithm name.
MinisignError DecodeFixed(std::string_view line, size_t bytes, std::string* decoded) {
  if (!Base64Decode(line, decoded)) return MinisignError::kBadBase64;
  if (decoded->size() != bytes) return MinisignError::kBadLength;
  return MinisignError::kNone;
}

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

bool Base64Decode(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  for (size_t i = 0; i + padding < text.size(); ++i) {
    if (!IsBase64Char(text[i])) return false;
  }
  if (text.empty()) return true;
  bytes->resize(text.size() / 4 * 3);
  const int got = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes->data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (got < 0 || static_cast<size_t>(got) != bytes->size()) {
    bytes->clear();
    return false;
  }
  bytes->resize(bytes->size() - padding);
  // Only the canonical spelling: the bits that padding leaves over must be zero, so one byte
  // string has one text.
  if (Base64Encode({reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()}) != text) {
    bytes->clear();
    return false;
  }
  return true;
}

std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return text;
}

MinisignError ParseMinisignKey(std::string_view text, MinisignKey* key) {
  const std::vector<std::string_view> lines = Lines(text);
  std::string_view line;
  if (lines.size() == 2 && lines[0].starts_with(kUntrustedPrefix)) {
    line = lines[1];
  } else if (lines.size() == 1) {
    line = lines[0];
  } else {
    return MinisignError::kBadLayout;
  }
  std::string decoded;
  if (const MinisignError error = DecodeFixed(line, kKeyBytes, &decoded); error != MinisignError::kNone) return error;
  if (decoded.compare(0, kAlgorithmBytes, "Ed") != 0) return MinisignError::kBadAlgorithm;
  CopyBytes(decoded, kAlgorithmBytes, &key->id);
  CopyBytes(decoded, kAlgorithmBytes + sizeof(KeyId), &key->public_key);
  return MinisignError::kNone;
}

MinisignError ParseMinisignSignature(std::string_view text, MinisignSignature* signature) {
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() != 4 || !lines[0].starts_with(kUntrustedPrefix) || !lines[2].starts_with(kTrustedPrefix)) {
    return MinisignError::kBadLayout;
  }
  std::string decoded;
  if (const MinisignError error = DecodeFixed(lines[1], kSignatureBytes, &decoded); error != MinisignError::kNone) {
    return error;
  }
  const std::string_view algorithm = std::string_view(decoded).substr(0, kAlgorithmBytes);
  if (algorithm != "ED" && algorithm != "Ed") return MinisignError::kBadAlgorithm;
  MinisignSignature parsed;
  parsed.prehashed = algorithm == "ED";
  CopyBytes(decoded, kAlgorithmBytes, &parsed.key_id);
  CopyBytes(decoded, kAlgorithmBytes + sizeof(KeyId), &parsed.signature);
  parsed.trusted_comment.assign(lines[2].substr(kTrustedPrefix.size()));
  if (const MinisignError error = DecodeFixed(lines[3], kEd25519SignatureBytes, &decoded);
      error != MinisignError::kNone) {
    return error;
  }
  CopyBytes(decoded, 0, &parsed.global_signature);
  *signature = std::move(parsed);
  return MinisignError::kNone;
}

bool VerifyEd25519(const Ed25519Key& public_key, std::string_view message, const Ed25519Signature& signature) {
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

bool Blake2b512(std::string_view bytes, Blake2b512Digest* digest) {
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), digest->data(), &length, EVP_blake2b512(), nullptr) == 1 &&
         length == digest->size();
}

SignatureCheck CheckMinisignSignature(const MinisignSignature& signature, std::span<const MinisignKey> keys,
                                      std::string_view message) {
  const auto key = std::find_if(keys.begin(), keys.end(),
                                [&](const MinisignKey& candidate) { return candidate.id == signature.key_id; });
  if (key == keys.end()) return SignatureCheck::kUnknownKey;

  Blake2b512Digest digest;
  std::string_view signed_bytes = message;
  if (signature.prehashed) {
    if (!Blake2b512(message, &digest)) return SignatureCheck::kBadSignature;
    signed_bytes = std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  if (!VerifyEd25519(key->public_key, signed_bytes, signature.signature)) return SignatureCheck::kBadSignature;

  // The trusted comment is bound to this very signature, so it can't be moved to another file.
  std::string global(reinterpret_cast<const char*>(signature.signature.data()), signature.signature.size());
  global += signature.trusted_comment;
  if (!VerifyEd25519(key->public_key, global, signature.global_signature)) return SignatureCheck::kBadSignature;
  return SignatureCheck::kValid;
}

std::string KeyIdText(const KeyId& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = id.size(); i-- > 0;) {
    text.push_back(kHex[id[i] >> 4]);
    text.push_back(kHex[id[i] & 15]);
  }
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  return text.substr(first);
}

std::string MinisignKeyLine(const MinisignKey& key) {
  std::array<uint8_t, kKeyBytes> raw{};
  raw[0] = 'E';
  raw[1] = 'd';
  std::copy(key.id.begin(), key.id.end(), raw.begin() + kAlgorithmBytes);
  std::copy(key.public_key.begin(), key.public_key.end(), raw.begin() + kAlgorithmBytes + sizeof(KeyId));
  return Base64Encode(raw);
}

std::string FormatMinisignKey(const MinisignKey& key) {
  return "untrusted comment: minisign public key " + KeyIdText(key.id) + "\n" + MinisignKeyLine(key) + "\n";
}

}  // namespace vantrel
