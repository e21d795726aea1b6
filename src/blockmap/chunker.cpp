#include "blockmap/chunker.h"

#include <bit>
#include <cstring>

namespace vantrel {
namespace {

// G[i] = the first 8 bytes, little-endian, of SHA-256("vantrel-gear" followed by byte i): a
// table of our own, the same in every build.
struct GearTable {
  uint64_t values[256];
  GearTable() {
    for (int i = 0; i < 256; ++i) {
      unsigned char input[13];
      std::memcpy(input, "vantrel-gear", 12);
      input[12] = static_cast<unsigned char>(i);
      Sha256 hash;
      hash.Update(input, sizeof input);
      unsigned char digest[32] = {};
      hash.FinishBytes(digest);
      uint64_t value = 0;
      for (int b = 7; b >= 0; --b) value = (value << 8) | digest[b];
      values[i] = value;
    }
  }
};

const uint64_t* Gear() {
  static const GearTable table;
  return table.values;
}

// The top `bits` bits: the gear sum's high bits see the last 64 bytes.
uint64_t TopBits(int bits) { return bits <= 0 ? 0 : bits >= 64 ? ~uint64_t{0} : ~uint64_t{0} << (64 - bits); }

}  // namespace

bool IsValidChunkParams(const ChunkParams& params) {
  return params.min >= 2048 && params.min <= params.avg && params.avg <= params.max && params.max <= 1048576 &&
         std::has_single_bit(params.avg);
}

Chunker::Chunker(const ChunkParams& params) : params_(params) {
  const int bits = std::countr_zero(params.avg);
  mask_small_ = TopBits(bits + 2);
  mask_large_ = TopBits(bits - 2);
}

size_t Chunker::Next(const uint8_t* data, size_t size, bool* cut) {
  *cut = false;
  size_t i = 0;
  // The first `min` bytes of a chunk are never looked at: no cut can fall there.
  if (length_ < params_.min) {
    const size_t skip = std::min<size_t>(size, params_.min - length_);
    length_ += static_cast<uint32_t>(skip);
    i = skip;
  }
  const uint64_t* gear = Gear();
  uint64_t fp = fp_;
  auto scan = [&](uint64_t mask, uint32_t until) {
    const size_t end = i + std::min<size_t>(size - i, until - length_);
    const size_t begin = i;
    for (; i < end; ++i) {
      fp = (fp << 1) + gear[data[i]];
      if ((fp & mask) == 0) {
        ++i;
        length_ += static_cast<uint32_t>(i - begin);
        return true;
      }
    }
    length_ += static_cast<uint32_t>(i - begin);
    return false;
  };
  bool found = false;
  if (i < size && length_ < params_.avg) found = scan(mask_small_, params_.avg);
  if (!found && i < size && length_ >= params_.avg && length_ < params_.max) found = scan(mask_large_, params_.max);
  if (found || length_ >= params_.max) {
    *cut = true;
    fp_ = 0;
    length_ = 0;
  } else {
    fp_ = fp;
  }
  return i;
}

bool ChunkHasher::Update(const uint8_t* data, size_t size) {
  while (size > 0) {
    bool cut = false;
    const size_t taken = chunker_.Next(data, size, &cut);
    hash_.Update(data, taken);
    offset_ += taken;
    data += taken;
    size -= taken;
    if (cut && !Close()) return false;
  }
  return true;
}

bool ChunkHasher::Finish() { return offset_ == chunk_start_ || Close(); }

bool ChunkHasher::Close() {
  Chunk chunk;
  chunk.offset = chunk_start_;
  chunk.length = static_cast<uint32_t>(offset_ - chunk_start_);
  unsigned char digest[32];
  if (!hash_.FinishBytes(digest) || !hash_.Restart()) return false;
  std::memcpy(chunk.hash.data(), digest, chunk.hash.size());
  chunks_.push_back(chunk);
  chunk_start_ = offset_;
  return true;
}

bool HashChunk(Sha256& hash, const uint8_t* data, size_t size, ChunkHash* out) {
  unsigned char digest[32];
  if (!hash.Restart()) return false;
  hash.Update(data, size);
  if (!hash.FinishBytes(digest)) return false;
  std::memcpy(out->data(), digest, out->size());
  return true;
}

}  // namespace vantrel
