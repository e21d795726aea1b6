#pragma once
// Content-defined chunking (FastCDC-style gear hashing) and the 16-byte chunk hash. Pure
// functions over bytes: the realm site maps its files with them and the launcher indexes its
// own local bytes with the same parameters, so an edit only moves the chunks around it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/sha256.h"

namespace vantrel {

struct ChunkParams {
  uint32_t min = 4096;
  uint32_t avg = 16384;
  uint32_t max = 65536;
};
inline constexpr ChunkParams kDefaultChunkParams{};

// 2 KiB <= min <= avg <= max <= 1 MiB, avg a power of two (its log sets the masks).
bool IsValidChunkParams(const ChunkParams& params);

using ChunkHash = std::array<uint8_t, 16>;  // SHA-256, first 16 bytes

// Finds cut points in a stream fed in pieces of any size. The cut after a byte depends only on
// the bytes of its chunk, so feeding the same bytes in other pieces gives the same chunks.
class Chunker {
 public:
  explicit Chunker(const ChunkParams& params);
  // Consumes bytes of the current chunk: the count taken, which ends the chunk when *cut.
  size_t Next(const uint8_t* data, size_t size, bool* cut);
  uint32_t pending() const { return length_; }  // bytes of the unfinished chunk

 private:
  ChunkParams params_;
  uint64_t mask_small_;
  uint64_t mask_large_;
  uint64_t fp_ = 0;
  uint32_t length_ = 0;
};

struct Chunk {
  uint64_t offset = 0;
  uint32_t length = 0;
  ChunkHash hash{};
};

// Chunks and hashes a stream; one pass, no copy of the data.
class ChunkHasher {
 public:
  explicit ChunkHasher(const ChunkParams& params) : chunker_(params) {}
  // False when the hash can't run (out of memory in OpenSSL).
  bool Update(const uint8_t* data, size_t size);
  bool Finish();  // the last, shorter chunk
  std::vector<Chunk>& chunks() { return chunks_; }
  uint64_t size() const { return offset_; }

 private:
  bool Close();
  Chunker chunker_;
  Sha256 hash_;
  std::vector<Chunk> chunks_;
  uint64_t offset_ = 0;
  uint64_t chunk_start_ = 0;
};

// The hash of one whole chunk held in memory, through a reusable context.
bool HashChunk(Sha256& hash, const uint8_t* data, size_t size, ChunkHash* out);

}  // namespace vantrel
