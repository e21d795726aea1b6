#pragma once
// Incompressible test data that is the same for the same seed.
#include <cstdint>
#include <random>
#include <string>

namespace vantrel::testing {

inline std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t value = generator();
    for (size_t b = 0; b < 8 && i + b < size; ++b) bytes[i + b] = static_cast<char>(value >> (8 * b));
  }
  return bytes;
}

}  // namespace vantrel::testing
