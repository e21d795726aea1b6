// Any bytes a site might send as a block map: the reader must never crash, and a map it
// accepts must describe exactly the file the manifest names, in bounded chunks; the plan made
// from it must cover every chunk the launcher lacks with ordered, capped single ranges.
#include "blockmap/blockmap.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "blockmap/plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The manifest's size and hash are taken from the map's own header, so the fuzzer gets past
  // that check as a real map does; one flipped bit of them must still be refused.
  uint64_t file_size = 0;
  std::string sha256_text(64, '0');
  if (size >= 60) {
    for (int i = 7; i >= 0; --i) file_size = (file_size << 8) | data[20 + i];
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
      sha256_text[2 * i] = kHex[data[28 + i] >> 4];
      sha256_text[2 * i + 1] = kHex[data[28 + i] & 15];
    }
  }
  vantrel::Blockmap map;
  if (vantrel::ReadBlockmap(bytes, file_size ^ 1, sha256_text, &map) == vantrel::BlockmapFault::kNone) std::abort();
  if (vantrel::ReadBlockmap(bytes, file_size, sha256_text, &map) != vantrel::BlockmapFault::kNone) return 0;

  uint64_t sum = 0;
  for (size_t i = 0; i < map.chunks.size(); ++i) {
    const vantrel::Chunk& chunk = map.chunks[i];
    if (chunk.offset != sum || chunk.length == 0 || chunk.length > map.params.max) std::abort();
    if (i + 1 < map.chunks.size() && chunk.length < map.params.min) std::abort();
    sum += chunk.length;
  }
  if (sum != file_size || vantrel::EncodeBlockmap(map) != bytes) std::abort();

  // Half the chunks "in place", a small cap so cutting runs is exercised too.
  std::vector<bool> in_place(map.chunks.size());
  for (size_t i = 0; i < in_place.size(); ++i) in_place[i] = (map.chunks[i].hash[0] & 1) != 0;
  vantrel::PlanLimits limits;
  limits.request_cap = 2 * map.params.max;
  const vantrel::Plan plan = vantrel::MakePlan(map, in_place, vantrel::LocalIndex({}), limits);
  uint64_t fetched = 0;
  uint32_t covered_to = 0;
  std::vector<bool> fetched_chunk(map.chunks.size());
  for (const vantrel::FetchRange& range : plan.fetches) {
    if (range.first < covered_to || range.end <= range.first || range.end > map.chunks.size()) std::abort();
    if (vantrel::RangeEnd(map, range) - vantrel::RangeStart(map, range) > limits.request_cap) std::abort();
    for (uint32_t i = range.first; i < range.end; ++i) fetched_chunk[i] = true;
    fetched += vantrel::RangeEnd(map, range) - vantrel::RangeStart(map, range);
    covered_to = range.end;
  }
  for (size_t i = 0; i < in_place.size(); ++i) {
    if (!in_place[i] && !fetched_chunk[i]) std::abort();
  }
  if (fetched != plan.fetch_bytes) std::abort();
  return 0;
}
