#include "blockmap/blockmap.h"

#include <cstring>

namespace vantrel {
namespace {

constexpr char kMagic[4] = {'V', 'B', 'M', '1'};

void PutU32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void PutU64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t GetU64(const unsigned char* p) { return GetU32(p) | static_cast<uint64_t>(GetU32(p + 4)) << 32; }

std::string HexText(const std::array<uint8_t, 32>& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

}  // namespace

std::string EncodeBlockmap(const Blockmap& map) {
  std::string out;
  out.reserve(kBlockmapHeaderBytes + kBlockmapEntryBytes * map.chunks.size());
  out.append(kMagic, 4);
  out.append({'\x01', '\x01', '\x01', '\x00'});
  PutU32(&out, map.params.min);
  PutU32(&out, map.params.avg);
  PutU32(&out, map.params.max);
  PutU64(&out, map.file_size);
  out.append(reinterpret_cast<const char*>(map.file_sha256.data()), map.file_sha256.size());
  PutU32(&out, static_cast<uint32_t>(map.chunks.size()));
  for (const Chunk& chunk : map.chunks) {
    PutU32(&out, chunk.length);
    out.append(reinterpret_cast<const char*>(chunk.hash.data()), chunk.hash.size());
  }
  return out;
}

BlockmapFault ReadBlockmap(std::string_view bytes, uint64_t file_size, std::string_view sha256_text, Blockmap* map) {
  if (bytes.size() < kBlockmapHeaderBytes) return BlockmapFault::kLength;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const uint64_t count = GetU32(p + 60);
  if ((bytes.size() - kBlockmapHeaderBytes) % kBlockmapEntryBytes != 0 ||
      (bytes.size() - kBlockmapHeaderBytes) / kBlockmapEntryBytes != count) {
    return BlockmapFault::kLength;
  }
  if (std::memcmp(p, kMagic, 4) != 0 || p[4] != 1 || p[5] != 1 || p[6] != 1 || p[7] != 0) {
    return BlockmapFault::kHeader;
  }
  Blockmap read;
  read.params = ChunkParams{GetU32(p + 8), GetU32(p + 12), GetU32(p + 16)};
  if (!IsValidChunkParams(read.params)) return BlockmapFault::kParams;
  read.file_size = GetU64(p + 20);
  std::memcpy(read.file_sha256.data(), p + 28, 32);
  if (read.file_size != file_size || HexText(read.file_sha256) != sha256_text) return BlockmapFault::kFile;
  read.chunks.resize(count);
  uint64_t offset = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const unsigned char* entry = p + kBlockmapHeaderBytes + kBlockmapEntryBytes * i;
    Chunk& chunk = read.chunks[i];
    chunk.length = GetU32(entry);
    std::memcpy(chunk.hash.data(), entry + 4, chunk.hash.size());
    const bool last = i + 1 == count;
    if (chunk.length == 0 || chunk.length > read.params.max || (!last && chunk.length < read.params.min)) {
      return BlockmapFault::kChunkLength;
    }
    chunk.offset = offset;
    offset += chunk.length;
    if (offset > file_size) return BlockmapFault::kSum;
  }
  if (offset != file_size) return BlockmapFault::kSum;
  *map = std::move(read);
  return BlockmapFault::kNone;
}

bool BlockmapBuilder::Update(const uint8_t* data, size_t size) {
  whole_.Update(data, size);
  return chunks_.Update(data, size);
}

bool BlockmapBuilder::Finish(Blockmap* map, std::string* sha256_text) {
  unsigned char digest[32];
  if (!chunks_.Finish() || !whole_.FinishBytes(digest)) return false;
  map->params = params_;
  map->file_size = chunks_.size();
  std::memcpy(map->file_sha256.data(), digest, 32);
  map->chunks = std::move(chunks_.chunks());
  *sha256_text = HexText(map->file_sha256);
  return true;
}

}  // namespace vantrel
