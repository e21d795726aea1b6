#include "support/deflate.h"

#include <zlib.h>

#include <new>

namespace vantrel {

uint32_t Crc32(std::string_view data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
  size_t left = data.size();
  // zlib takes 32-bit lengths; feed larger inputs in pieces.
  while (left > 0) {
    const uInt piece = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
    crc = crc32(crc, p, piece);
    p += piece;
    left -= piece;
  }
  return static_cast<uint32_t>(crc);
}

DeflateStatus DeflateRaw(std::string_view data, size_t max_output, std::string* out) {
  out->clear();
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return DeflateStatus::kFailed;
  DeflateStatus status = DeflateStatus::kOk;
  try {
    const size_t bound = deflateBound(&stream, static_cast<uLong>(data.size()));
    out->resize(bound < max_output ? bound : max_output);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.next_out = reinterpret_cast<Bytef*>(out->data());
    size_t in_left = data.size();
    size_t out_left = out->size();
    for (;;) {
      const uInt in_piece = in_left > (1u << 30) ? (1u << 30) : static_cast<uInt>(in_left);
      const uInt out_piece = out_left > (1u << 30) ? (1u << 30) : static_cast<uInt>(out_left);
      stream.avail_in = in_piece;
      stream.avail_out = out_piece;
      const int flush = in_piece == in_left ? Z_FINISH : Z_NO_FLUSH;
      const int result = deflate(&stream, flush);
      in_left -= in_piece - stream.avail_in;
      out_left -= out_piece - stream.avail_out;
      if (result == Z_STREAM_END) break;
      if (result == Z_BUF_ERROR || (result == Z_OK && out_left == 0)) {
        status = DeflateStatus::kTooLarge;
        break;
      }
      if (result != Z_OK) {
        status = DeflateStatus::kFailed;
        break;
      }
    }
    if (status == DeflateStatus::kOk) {
      out->resize(out->size() - out_left);
    } else {
      out->clear();
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    status = DeflateStatus::kFailed;
  }
  deflateEnd(&stream);
  return status;
}

}  // namespace vantrel
