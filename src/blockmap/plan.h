#pragma once
// The plan from what the launcher has to the file a map describes: each chunk is already in
// place (in a leftover ".part"), copied from the local file, or fetched. Fetched chunks go out
// as single ranges, neighbours merged across small gaps, each at most 1 GiB (Wine's WinHTTP
// cuts a body at 2 GiB). A plan that would fetch most of the file is a whole download instead.
#include <cstdint>
#include <vector>

#include "blockmap/blockmap.h"

namespace vantrel {

enum class ChunkSource : uint8_t { kFetch, kInPlace, kCopy };

struct ChunkStep {
  ChunkSource source = ChunkSource::kFetch;
  uint64_t copy_offset = 0;  // where the chunk lies in the local file, for kCopy
};

struct FetchRange {
  uint32_t first = 0;  // chunk indexes [first, end)
  uint32_t end = 0;
};

struct PlanLimits {
  uint64_t merge_gap = 65536;         // a gap this small costs less than another request
  uint64_t request_cap = 1073741824;  // bytes per request
  uint32_t whole_percent = 60;        // past this share of the file, fetch it whole
};

struct Plan {
  std::vector<ChunkStep> steps;     // one per chunk of the map
  std::vector<FetchRange> fetches;  // in file order, never overlapping
  uint64_t fetch_bytes = 0;
  bool whole = false;
};

// The chunks of the local file, found by hash and length.
class LocalIndex {
 public:
  explicit LocalIndex(std::vector<Chunk> chunks);
  const Chunk* Find(const Chunk& wanted) const;

 private:
  std::vector<Chunk> chunks_;  // by hash, then length
};

// `in_place[i]`: chunk i already sits at its offset in the ".part" (empty: there is none).
Plan MakePlan(const Blockmap& map, const std::vector<bool>& in_place, const LocalIndex& local,
              const PlanLimits& limits = {});

// The byte range of chunks [first, end).
inline uint64_t RangeStart(const Blockmap& map, const FetchRange& range) { return map.chunks[range.first].offset; }
inline uint64_t RangeEnd(const Blockmap& map, const FetchRange& range) {
  const Chunk& last = map.chunks[range.end - 1];
  return last.offset + last.length;
}

}  // namespace vantrel
