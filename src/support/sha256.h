#pragma once
// SHA-256 over OpenSSL's EVP interface, spelled as a hash text: 64 lowercase hex digits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool ok() const { return ctx_ != nullptr; }
  void Update(const void* data, size_t size);
  std::string FinishText();  // the hash text; the object is spent afterwards

 private:
  void* ctx_;
};

std::string Sha256Text(std::string_view bytes);
bool IsHashText(std::string_view text);

// Hashes a whole file read in 1 MiB pieces. False when it can't be opened or read.
bool HashFile(std::string_view path, std::string* hash_text);

}  // namespace vantrel
