#include "support/sha256.h"

#include <openssl/evp.h>

#include <memory>

#include "support/os.h"

namespace vantrel {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ != nullptr && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    ctx_ = nullptr;
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::Update(const void* data, size_t size) {
  if (ctx_ != nullptr && size > 0) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size);
}

std::string Sha256::FinishText() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (ctx_ == nullptr || EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), digest, &length) != 1) {
    return std::string();
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

bool Sha256::FinishBytes(unsigned char digest[32]) {
  unsigned int length = 0;
  return ctx_ != nullptr && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), digest, &length) == 1 && length == 32;
}

bool Sha256::Restart() {
  return ctx_ != nullptr && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), nullptr, nullptr) == 1;
}

std::string Sha256Text(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishText();
}

bool IsHashText(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool FileHasher::Hash(std::string_view path, std::string* hash_text) {
  os::File file;
  if (file.OpenRead(path) != 0) return false;
  constexpr uint32_t kPiece = 1048576;
  if (!buffer_) buffer_.reset(new unsigned char[kPiece]);
  Sha256 hash;
  if (!hash.ok()) return false;
  for (;;) {
    uint32_t got = 0;
    if (file.Read(buffer_.get(), kPiece, &got) != 0) return false;
    if (got == 0) break;
    hash.Update(buffer_.get(), got);
    // A short read of a file is its end: no further call just to be told so.
    if (got < kPiece) break;
  }
  *hash_text = hash.FinishText();
  return hash_text->size() == 64;
}

bool HashFile(std::string_view path, std::string* hash_text) {
  FileHasher hasher;
  return hasher.Hash(path, hash_text);
}

}  // namespace vantrel
