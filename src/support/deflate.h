#pragma once
// Raw deflate (no zlib or gzip wrapper) at level 6 and the zip CRC-32, both through zlib.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

uint32_t Crc32(std::string_view data);

enum class DeflateStatus : uint8_t {
  kOk,
  kTooLarge,  // the stream would not fit in `max_output` bytes
  kFailed,    // zlib refused or ran out of memory
};

// Compresses `data` into `out` as one finished raw deflate stream of at most `max_output`
// bytes. Bounding the output lets a caller that only wants a smaller result stop early.
DeflateStatus DeflateRaw(std::string_view data, size_t max_output, std::string* out);

}  // namespace vantrel
