#pragma once
// SHA-256 over OpenSSL's EVP interface, spelled as a hash text: 64 lowercase hex digits.
#include <cstddef>
#include <cstdint>
#include <memory>
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
  std::string FinishText();                    // the hash text; the object is spent afterwards
  bool FinishBytes(unsigned char digest[32]);  // the raw digest; spent afterwards
  bool Restart();  // ready for new bytes, without a new context (chunk hashes come by the thousand)

 private:
  void* ctx_;
};

std::string Sha256Text(std::string_view bytes);
bool IsHashText(std::string_view text);

// Hashes whole files read in 1 MiB pieces through one buffer, taken at the first file and kept
// for the hasher's life: a fresh 1 MiB block per file costs milliseconds under Wine, where it
// comes as new zeroed pages each time (as on Windows). One hasher per run, never one per file.
class FileHasher {
 public:
  // False when the file can't be opened or read.
  bool Hash(std::string_view path, std::string* hash_text);

 private:
  std::unique_ptr<unsigned char[]> buffer_;
};

// One file on its own (the launcher's own executable).
bool HashFile(std::string_view path, std::string* hash_text);

}  // namespace vantrel
