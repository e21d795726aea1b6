#pragma once
// The block map of one game file: its content-defined chunks, each with a 16-byte hash, so a
// launcher can build the file from bytes it has plus ranges it fetches. Binary, little-endian:
//   "VBM1", u8 version 1, u8 chunker 1 (gear), u8 hash 1 (SHA-256/16), u8 0,
//   u32 min, u32 avg, u32 max, u64 file size, 32-byte file SHA-256, u32 count,
//   then count x {u32 length, 16-byte chunk hash}.
// The reader is strict: any fault means the file is fetched whole, never a wrong file.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "blockmap/chunker.h"
#include "support/sha256.h"

namespace vantrel {

inline constexpr size_t kBlockmapHeaderBytes = 64;
inline constexpr size_t kBlockmapEntryBytes = 20;
// Files from this size on get a map; smaller ones are always fetched whole.
inline constexpr uint64_t kBlockmapMinFileSize = 4194304;
// The launcher fetches no map larger than this (a 1 GiB file's map is about 1.2 MB).
inline constexpr uint64_t kBlockmapFetchLimit = 8388608;

struct Blockmap {
  ChunkParams params;
  uint64_t file_size = 0;
  std::array<uint8_t, 32> file_sha256{};
  std::vector<Chunk> chunks;  // in file order, offsets filled in
};

enum class BlockmapFault : uint8_t {
  kNone,
  kLength,       // not 64 + 20 x count bytes
  kHeader,       // magic, version, chunker, hash kind or reserved byte
  kParams,       // chunk bounds out of range
  kChunkLength,  // a length of 0, past max, or under min before the last
  kSum,          // lengths don't add up to the file size
  kFile,         // file size or SHA-256 not the manifest entry's
};

std::string EncodeBlockmap(const Blockmap& map);
BlockmapFault ReadBlockmap(std::string_view bytes, uint64_t file_size, std::string_view sha256_text, Blockmap* map);

// The file's SHA-256 and its map from one pass over its bytes.
class BlockmapBuilder {
 public:
  explicit BlockmapBuilder(const ChunkParams& params = kDefaultChunkParams) : params_(params), chunks_(params) {}
  bool Update(const uint8_t* data, size_t size);
  // The map and the file's hash text; false when OpenSSL failed.
  bool Finish(Blockmap* map, std::string* sha256_text);

 private:
  ChunkParams params_;
  ChunkHasher chunks_;
  Sha256 whole_;
};

}  // namespace vantrel
