// The chunker, the map format's strict reader and the plan, as pure functions over bytes.
#include "blockmap/blockmap.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "blockmap/plan.h"
#include "random_bytes.h"
#include "support/sha256.h"

namespace vantrel {
namespace {

using testing::RandomBytes;

Blockmap MapOf(const std::string& bytes, size_t piece = 1 << 20) {
  BlockmapBuilder builder;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t take = std::min(piece, bytes.size() - at);
    EXPECT_TRUE(builder.Update(reinterpret_cast<const uint8_t*>(bytes.data()) + at, take));
  }
  Blockmap map;
  std::string sha;
  EXPECT_TRUE(builder.Finish(&map, &sha));
  EXPECT_EQ(sha, Sha256Text(bytes));
  return map;
}

TEST(Chunker, CutsDependOnContentOnlyAndStayInBounds) {
  const std::string bytes = RandomBytes(3 << 20, 1);
  const Blockmap whole = MapOf(bytes, bytes.size());
  const Blockmap pieces = MapOf(bytes, 1000);  // pieces that end mid-chunk and mid-minimum
  ASSERT_EQ(EncodeBlockmap(whole), EncodeBlockmap(pieces));
  uint64_t sum = 0;
  for (size_t i = 0; i < whole.chunks.size(); ++i) {
    const Chunk& chunk = whole.chunks[i];
    EXPECT_EQ(chunk.offset, sum);
    EXPECT_LE(chunk.length, 65536u);
    if (i + 1 < whole.chunks.size()) {
      EXPECT_GE(chunk.length, 4096u);
    }
    ChunkHash hash;
    Sha256 context;
    ASSERT_TRUE(HashChunk(context, reinterpret_cast<const uint8_t*>(bytes.data()) + chunk.offset, chunk.length, &hash));
    EXPECT_EQ(hash, chunk.hash);
    sum += chunk.length;
  }
  EXPECT_EQ(sum, bytes.size());
  // About 16-20 KiB a chunk on random data.
  EXPECT_GT(whole.chunks.size(), bytes.size() / 24576);
  EXPECT_LT(whole.chunks.size(), bytes.size() / 12288);
}

TEST(Chunker, AnInsertMovesOnlyTheChunksAroundIt) {
  const std::string old_bytes = RandomBytes(4 << 20, 2);
  std::string new_bytes = old_bytes;
  new_bytes.insert(1000003, RandomBytes(100003, 3));
  const Blockmap old_map = MapOf(old_bytes);
  const Blockmap new_map = MapOf(new_bytes);
  const Plan plan = MakePlan(new_map, {}, LocalIndex(old_map.chunks));
  EXPECT_FALSE(plan.whole);
  EXPECT_GE(plan.fetch_bytes, 100003u);
  EXPECT_LE(plan.fetch_bytes, 100003u + 3 * 65536);
}

TEST(BlockmapReader, TakesTheMapItWroteAndNothingElse) {
  const std::string bytes = RandomBytes(300000, 4);
  const std::string sha = Sha256Text(bytes);
  const std::string good = EncodeBlockmap(MapOf(bytes));
  Blockmap read;
  ASSERT_EQ(ReadBlockmap(good, bytes.size(), sha, &read), BlockmapFault::kNone);
  EXPECT_EQ(EncodeBlockmap(read), good);

  auto with = [&good](size_t at, std::string_view patch) {
    std::string changed = good;
    changed.replace(at, patch.size(), patch);
    return changed;
  };
  auto u32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  const size_t count = (good.size() - 64) / 20;
  const size_t last_entry = 64 + 20 * (count - 1);
  struct Case {
    const char* what;
    std::string map;
    BlockmapFault fault;
  } cases[] = {
      {"one byte short", good.substr(0, good.size() - 1), BlockmapFault::kLength},
      {"an entry more", good + std::string(20, '\x01'), BlockmapFault::kLength},
      {"count says one more", with(60, u32(uint32_t(count + 1))), BlockmapFault::kLength},
      {"header only", good.substr(0, 63), BlockmapFault::kLength},
      {"magic", with(0, "VBM2"), BlockmapFault::kHeader},
      {"hash kind", with(6, "\x02"), BlockmapFault::kHeader},
      {"min under 2 KiB", with(8, u32(1024)), BlockmapFault::kParams},
      {"avg not a power of two", with(12, u32(20000)), BlockmapFault::kParams},
      {"max over 1 MiB", with(16, u32(2 << 20)), BlockmapFault::kParams},
      {"zero-length chunk", with(64, u32(0)), BlockmapFault::kChunkLength},
      {"chunk over max", with(64, u32(65537)), BlockmapFault::kChunkLength},
      {"short chunk before the last", with(64, u32(100)), BlockmapFault::kChunkLength},
      {"lengths sum past the size", with(last_entry, u32(65536)), BlockmapFault::kSum},
      {"lengths sum short", with(last_entry, u32(1)), BlockmapFault::kSum},
      {"file size", with(20, "\x01"), BlockmapFault::kFile},
      {"file hash", with(28, "\xff"), BlockmapFault::kFile},
  };
  for (const Case& c : cases) {
    Blockmap untouched;
    EXPECT_EQ(ReadBlockmap(c.map, bytes.size(), sha, &untouched), c.fault) << c.what;
    EXPECT_TRUE(untouched.chunks.empty()) << c.what;
  }
  EXPECT_EQ(ReadBlockmap(good, bytes.size() + 1, sha, &read), BlockmapFault::kFile);
  EXPECT_EQ(ReadBlockmap(good, bytes.size(), Sha256Text("other"), &read), BlockmapFault::kFile);
}

// A map of equal 16 KiB chunks whose hashes are their index, for planning by hand.
Blockmap EvenMap(uint32_t count) {
  Blockmap map;
  map.params = kDefaultChunkParams;
  for (uint32_t i = 0; i < count; ++i) {
    Chunk chunk;
    chunk.offset = uint64_t{i} * 16384;
    chunk.length = 16384;
    chunk.hash[0] = static_cast<uint8_t>(i);
    chunk.hash[1] = static_cast<uint8_t>(i >> 8);
    chunk.hash[2] = 1;
    map.chunks.push_back(chunk);
  }
  map.file_size = uint64_t{count} * 16384;
  return map;
}

// Local chunks holding target chunks `which`, at other offsets.
LocalIndex Having(const Blockmap& map, const std::vector<uint32_t>& which) {
  std::vector<Chunk> local;
  for (uint32_t i : which) {
    Chunk chunk = map.chunks[i];
    chunk.offset = 7 + uint64_t{i} * 3;
    local.push_back(chunk);
  }
  return LocalIndex(local);
}

std::vector<uint32_t> AllBut(uint32_t count, const std::vector<uint32_t>& missing) {
  std::vector<uint32_t> have;
  for (uint32_t i = 0; i < count; ++i) {
    if (std::find(missing.begin(), missing.end(), i) == missing.end()) have.push_back(i);
  }
  return have;
}

TEST(Plan, CopiesWhatItHasAndMergesFetchesAcrossSmallGapsOnly) {
  const Blockmap map = EvenMap(100);
  // Missing: 10, 12 (gap of one chunk, 16 KiB: merged), 13, 30 (gap of 16 chunks: apart), 99.
  std::vector<bool> in_place(100, false);
  in_place[50] = true;
  const Plan plan = MakePlan(map, in_place, Having(map, AllBut(100, {10, 12, 13, 30, 50, 99})));
  ASSERT_FALSE(plan.whole);
  ASSERT_EQ(plan.fetches.size(), 3u);
  EXPECT_EQ(plan.fetches[0].first, 10u);
  EXPECT_EQ(plan.fetches[0].end, 14u);
  EXPECT_EQ(plan.fetches[1].first, 30u);
  EXPECT_EQ(plan.fetches[1].end, 31u);
  EXPECT_EQ(plan.fetches[2].first, 99u);
  EXPECT_EQ(plan.fetches[2].end, 100u);
  EXPECT_EQ(plan.fetch_bytes, 6u * 16384);
  EXPECT_EQ(plan.steps[50].source, ChunkSource::kInPlace);
  EXPECT_EQ(plan.steps[11].source, ChunkSource::kFetch);  // inside a merged range
  EXPECT_EQ(plan.steps[20].source, ChunkSource::kCopy);
  EXPECT_EQ(plan.steps[20].copy_offset, 7u + 20 * 3);
}

TEST(Plan, CapsEveryRequestAndGoesWholePastSixtyPercent) {
  const Blockmap map = EvenMap(100);
  PlanLimits limits;
  limits.request_cap = 5 * 16384 + 100;
  // 60 chunks missing: exactly 60% is still planned, in requests of at most five chunks.
  std::vector<uint32_t> missing;
  for (uint32_t i = 0; i < 60; ++i) missing.push_back(i);
  const Plan sixty = MakePlan(map, {}, Having(map, AllBut(100, missing)), limits);
  EXPECT_FALSE(sixty.whole);
  EXPECT_EQ(sixty.fetches.size(), 12u);
  for (const FetchRange& range : sixty.fetches) EXPECT_EQ(range.end - range.first, 5u);
  missing.push_back(60);
  EXPECT_TRUE(MakePlan(map, {}, Having(map, AllBut(100, missing)), limits).whole);
  EXPECT_TRUE(MakePlan(map, {}, LocalIndex({})).whole);
}

}  // namespace
}  // namespace vantrel
