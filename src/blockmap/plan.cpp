#include "blockmap/plan.h"

#include <algorithm>

namespace vantrel {
namespace {

bool Before(const Chunk& a, const Chunk& b) { return a.hash != b.hash ? a.hash < b.hash : a.length < b.length; }

}  // namespace

LocalIndex::LocalIndex(std::vector<Chunk> chunks) : chunks_(std::move(chunks)) {
  std::sort(chunks_.begin(), chunks_.end(), Before);
}

const Chunk* LocalIndex::Find(const Chunk& wanted) const {
  const auto found = std::lower_bound(chunks_.begin(), chunks_.end(), wanted, Before);
  return found != chunks_.end() && found->hash == wanted.hash && found->length == wanted.length ? &*found : nullptr;
}

Plan MakePlan(const Blockmap& map, const std::vector<bool>& in_place, const LocalIndex& local,
              const PlanLimits& limits) {
  Plan plan;
  const size_t count = map.chunks.size();
  plan.steps.resize(count);
  std::vector<FetchRange> runs;
  for (size_t i = 0; i < count; ++i) {
    ChunkStep& step = plan.steps[i];
    if (i < in_place.size() && in_place[i]) {
      step.source = ChunkSource::kInPlace;
    } else if (const Chunk* have = local.Find(map.chunks[i])) {
      step.source = ChunkSource::kCopy;
      step.copy_offset = have->offset;
    } else if (!runs.empty() && runs.back().end == i) {
      ++runs.back().end;
    } else {
      runs.push_back(FetchRange{static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1)});
    }
  }
  // Neighbours close enough are one request; the chunks between them are fetched too (and
  // checked like the rest) rather than paying for another round trip.
  for (const FetchRange& run : runs) {
    if (!plan.fetches.empty()) {
      FetchRange& last = plan.fetches.back();
      const uint64_t gap = RangeStart(map, run) - RangeEnd(map, last);
      if (gap <= limits.merge_gap && RangeEnd(map, run) - RangeStart(map, last) <= limits.request_cap) {
        last.end = run.end;
        continue;
      }
    }
    plan.fetches.push_back(run);
  }
  // A run longer than a request may be is cut at chunk boundaries.
  std::vector<FetchRange> capped;
  for (FetchRange range : plan.fetches) {
    while (RangeEnd(map, range) - RangeStart(map, range) > limits.request_cap) {
      uint32_t cut = range.first + 1;
      while (map.chunks[cut].offset + map.chunks[cut].length - RangeStart(map, range) <= limits.request_cap) ++cut;
      capped.push_back(FetchRange{range.first, cut});
      range.first = cut;
    }
    capped.push_back(range);
  }
  plan.fetches = std::move(capped);
  for (const FetchRange& range : plan.fetches) {
    plan.fetch_bytes += RangeEnd(map, range) - RangeStart(map, range);
    for (uint32_t i = range.first; i < range.end; ++i) plan.steps[i] = ChunkStep{};
  }
  plan.whole = plan.fetch_bytes * 100 > static_cast<uint64_t>(limits.whole_percent) * map.file_size;
  return plan;
}

}  // namespace vantrel
