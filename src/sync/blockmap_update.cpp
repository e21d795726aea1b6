#include "sync/blockmap_update.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "blockmap/blockmap.h"
#include "blockmap/plan.h"
#include "realm/range_request.h"
#include "support/os.h"
#include "support/sha256.h"

namespace vantrel {
namespace {

constexpr uint32_t kReadPiece = 1048576;    // local reads, as the file check's
constexpr uint64_t kProgressStep = 262144;  // at most a notice per this many bytes, as downloads

bool ReadFully(os::File& file, uint8_t* buffer, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    uint32_t got = 0;
    if (file.Read(buffer + done, length - done, &got) != os::kOk || got == 0) return false;
    done += got;
  }
  return true;
}

// The local file's chunks with the map's parameters; none when it can't be read whole.
std::vector<Chunk> ChunkLocalFile(const std::string& path, const ChunkParams& params, uint8_t* buffer) {
  os::File file;
  if (file.OpenRead(path) != os::kOk) return {};
  ChunkHasher chunks(params);
  for (;;) {
    uint32_t got = 0;
    if (file.Read(buffer, kReadPiece, &got) != os::kOk) return {};
    if (got == 0) break;
    if (!chunks.Update(buffer, got)) return {};
  }
  if (!chunks.Finish()) return {};
  return std::move(chunks.chunks());
}

// Which chunks of the map already sit at their place in the ".part", read once in order.
std::vector<bool> CheckInPlace(const std::string& path, const Blockmap& map, uint8_t* buffer) {
  std::vector<bool> in_place;
  os::File file;
  if (file.OpenRead(path) != os::kOk) return in_place;
  const uint64_t present = os::GetFileFacts(path).size;
  in_place.assign(map.chunks.size(), false);
  Sha256 hash;
  size_t index = 0;
  uint64_t filled = 0;  // bytes of chunk `index` hashed so far
  while (index < map.chunks.size() && map.chunks[index].offset + map.chunks[index].length <= present) {
    uint32_t got = 0;
    if (file.Read(buffer, kReadPiece, &got) != os::kOk || got == 0 || !hash.ok()) break;
    for (uint32_t at = 0; at < got && index < map.chunks.size();) {
      const Chunk& chunk = map.chunks[index];
      const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(got - at, chunk.length - filled));
      hash.Update(buffer + at, take);
      at += take;
      filled += take;
      if (filled == chunk.length) {
        unsigned char digest[32];
        in_place[index] = hash.FinishBytes(digest) && std::equal(chunk.hash.begin(), chunk.hash.end(), digest);
        hash.Restart();
        filled = 0;
        ++index;
      }
    }
  }
  return in_place;
}

// The assembly of one file in its ".part", chunk by chunk in file order.
class Assembly {
 public:
  Assembly(HttpSession& session, std::string_view file_address, const ManifestFile& entry, const Blockmap& map,
           const std::string& part_path, const DownloadProgress& progress)
      : session_(session),
        file_address_(file_address),
        entry_(entry),
        map_(map),
        part_path_(part_path),
        progress_(progress) {}

  BlockmapOutcome Run(const Plan& plan, std::vector<bool> in_place, bool part_has_bytes,
                      const std::string& local_path) {
    good_ = std::move(in_place);
    good_.resize(map_.chunks.size(), false);
    buffer_.reset(new uint8_t[std::max<uint32_t>(map_.params.max, kReadPiece)]);
    if ((part_has_bytes ? part_.OpenUpdate(part_path_) : part_.CreateWrite(part_path_)) != os::kOk) {
      return Abort();
    }
    part_is_ours_ = true;
    const bool copies = std::any_of(plan.steps.begin(), plan.steps.end(),
                                    [](const ChunkStep& step) { return step.source == ChunkSource::kCopy; });
    if (copies && local_.OpenRead(local_path) != os::kOk) return Abort();

    size_t next_fetch = 0;
    for (uint32_t i = 0; i < map_.chunks.size();) {
      if (next_fetch < plan.fetches.size() && plan.fetches[next_fetch].first == i) {
        const FetchRange& range = plan.fetches[next_fetch++];
        if (!Fetch(range)) return Abort();
        if (placed_) return Placed();
        i = range.end;
        continue;
      }
      const ChunkStep& step = plan.steps[i];
      if (step.source == ChunkSource::kInPlace) {
        Report(map_.chunks[i].length);
      } else if (!Copy(i, step.copy_offset)) {
        // The local file changed since it was read: this chunk comes from the realm instead.
        if (!Fetch(FetchRange{i, i + 1})) return Abort();
        if (placed_) return Placed();
      }
      ++i;
    }
    Flush();
    part_.Flush();
    part_.Close();
    local_.Close();
    // Only the whole file's hash, as the manifest gives it, lets it be placed.
    std::string hash;
    FileHasher hasher;
    if (os::GetFileFacts(part_path_).size != entry_.size || !hasher.Hash(part_path_, &hash) || hash != entry_.sha256) {
      os::DeleteFilePath(part_path_);
      return Outcome(false, false);
    }
    return Placed();
  }

 private:
  bool Copy(uint32_t index, uint64_t source_offset) {
    const Chunk& chunk = map_.chunks[index];
    ChunkHash hash;
    if (local_.Seek(source_offset) != os::kOk || !ReadFully(local_, buffer_.get(), chunk.length) ||
        !HashChunk(chunk_hash_, buffer_.get(), chunk.length, &hash) || hash != chunk.hash) {
      return false;
    }
    return Write(index, buffer_.get());
  }

  bool Write(uint32_t index, const uint8_t* bytes) {
    const Chunk& chunk = map_.chunks[index];
    if (part_.Seek(chunk.offset) != os::kOk || part_.Write(bytes, chunk.length) != os::kOk) return false;
    good_[index] = true;
    Report(chunk.length);
    return true;
  }

  // One single-range request for chunks [first, end); each chunk is hashed before it is written.
  bool Fetch(const FetchRange& range) {
    const bool first_request = !requested_;
    requested_ = true;
    const uint64_t start = RangeStart(map_, range);
    const uint64_t last = RangeEnd(map_, range) - 1;
    os::HttpOsRequestPtr request;
    switch (SendRangeRequest(session_, file_address_, start, last, entry_.size, &request)) {
      case RangeReply::kExact: break;
      // A site that ignores Range sends the whole file: as good as a whole download, so it is one.
      case RangeReply::kWholeFile: return first_request ? TakeWholeFile(*request) : Surprise();
      case RangeReply::kRefused: return Surprise();
      case RangeReply::kFailed: return false;
    }
    for (uint32_t i = range.first; i < range.end; ++i) {
      const Chunk& chunk = map_.chunks[i];
      uint32_t filled = 0;
      while (filled < chunk.length) {
        uint32_t got = 0;
        if (os::ReadHttpChunk(*request, buffer_.get() + filled, chunk.length - filled, &got) != os::HttpFault::kNone ||
            got == 0) {
          return false;  // a cut connection: what came before it stays
        }
        filled += got;
      }
      ChunkHash hash;
      if (!HashChunk(chunk_hash_, buffer_.get(), chunk.length, &hash)) return false;
      if (hash != chunk.hash) return Surprise();
      if (!Write(i, buffer_.get())) return false;
    }
    uint8_t extra = 0;
    uint32_t got = 0;
    if (os::ReadHttpChunk(*request, &extra, 1, &got) != os::HttpFault::kNone) return false;
    return got == 0 || Surprise();
  }

  // The site answered a range in a way it must not: it isn't trusted with ranges again, so the
  // whole download that follows starts from nothing rather than continuing by a range.
  bool Surprise() {
    surprised_ = true;
    return false;
  }

  // The answer to the first range was the whole file: written from the start, hashed as it
  // comes and judged as a whole download is. Progress counts only what goes past the bytes
  // already counted.
  bool TakeWholeFile(os::HttpOsRequest& request) {
    Flush();
    if (part_.Seek(0) != os::kOk) return false;
    good_.assign(good_.size(), false);
    Sha256 whole;
    uint64_t total = 0;
    for (;;) {
      uint32_t got = 0;
      if (os::ReadHttpChunk(request, buffer_.get(), kReadPiece, &got) != os::HttpFault::kNone) return false;
      if (got == 0) break;
      if (got > entry_.size - total) return false;
      whole.Update(buffer_.get(), got);
      if (part_.Write(buffer_.get(), got) != os::kOk) return false;
      total += got;
      if (total > reported_) {
        pending_ = total - reported_;
        Flush();
      }
    }
    part_.Flush();
    if (total != entry_.size || part_.Truncate(total) != os::kOk || whole.FinishText() != entry_.sha256) return false;
    part_.Close();
    placed_ = true;
    return true;
  }

  void Report(uint64_t bytes) {
    pending_ += bytes;
    if (pending_ >= kProgressStep) Flush();
  }
  void Flush() {
    if (pending_ == 0) return;
    if (progress_) progress_(pending_);
    reported_ += pending_;
    pending_ = 0;
  }

  BlockmapOutcome Outcome(bool placed, bool resume) {
    BlockmapOutcome outcome;
    outcome.placed = placed;
    outcome.resume = resume;
    outcome.reported = reported_;
    return outcome;
  }
  BlockmapOutcome Placed() {
    Flush();
    return Outcome(true, false);
  }

  // Keeps what is known good from the start of the file (kept, copied and fetched chunks,
  // all checked) and cuts the rest, so the whole download can continue from there.
  BlockmapOutcome Abort() {
    Flush();
    local_.Close();
    if (!part_is_ours_) return Outcome(false, false);
    uint64_t valid = 0;
    for (size_t i = 0; i < good_.size() && good_[i] && !surprised_; ++i) valid += map_.chunks[i].length;
    const bool kept = valid > 0 && part_.IsOpen() && part_.Truncate(valid) == os::kOk;
    part_.Flush();
    part_.Close();
    if (!kept) os::DeleteFilePath(part_path_);
    return Outcome(false, kept);
  }

  HttpSession& session_;
  std::string_view file_address_;
  const ManifestFile& entry_;
  const Blockmap& map_;
  const std::string& part_path_;
  const DownloadProgress& progress_;
  os::File part_;
  os::File local_;
  bool part_is_ours_ = false;
  bool requested_ = false;
  bool placed_ = false;
  bool surprised_ = false;
  std::vector<bool> good_;
  std::unique_ptr<uint8_t[]> buffer_;
  Sha256 chunk_hash_;
  uint64_t pending_ = 0;
  uint64_t reported_ = 0;
};

// The map the entry names, as the manifest says it is; false for any fault.
bool FetchBlockmap(HttpSession& session, std::string_view realm_address, const ManifestFile& entry, Blockmap* map) {
  if (!entry.has_blockmap || entry.blockmap_size > kBlockmapFetchLimit) return false;
  const FetchResult answer =
      Fetch(session, "GET", BlockmapAddress(realm_address, entry.sha256), {}, {}, kBlockmapFetchLimit);
  return answer.error == HttpError::kNone && answer.status == 200 && answer.body.size() == entry.blockmap_size &&
         Sha256Text(answer.body) == entry.blockmap_sha256 &&
         ReadBlockmap(answer.body, entry.size, entry.sha256, map) == BlockmapFault::kNone;
}

}  // namespace

std::string BlockmapAddress(std::string_view realm_address, std::string_view sha256_text) {
  return std::string(realm_address) + "/api/launcher/blockmap/" + std::string(sha256_text);
}

BlockmapOutcome UpdateByBlockmap(HttpSession& session, std::string_view realm_address, std::string_view file_address,
                                 const ManifestFile& entry, const std::string& full_path, const std::string& part_path,
                                 bool part_has_bytes, const DownloadProgress& progress) {
  BlockmapOutcome whole;
  whole.resume = part_has_bytes;
  if (!entry.has_blockmap) return whole;
  // With nothing local to build from, the plan would be the whole file: no map is asked for.
  const os::FileFacts local = os::GetFileFacts(full_path);
  const bool has_local = local.exists && !local.is_folder && local.size > 0;
  if (part_has_bytes && os::GetFileFacts(part_path).size > entry.size) part_has_bytes = false;
  if (!has_local && !part_has_bytes) return whole;

  Blockmap map;
  if (!FetchBlockmap(session, realm_address, entry, &map)) return whole;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadPiece]);
  const LocalIndex index(has_local ? ChunkLocalFile(full_path, map.params, buffer.get()) : std::vector<Chunk>());
  std::vector<bool> in_place;
  if (part_has_bytes) in_place = CheckInPlace(part_path, map, buffer.get());
  buffer.reset();
  const Plan plan = MakePlan(map, in_place, index);
  if (plan.whole) return whole;
  Assembly assembly(session, file_address, entry, map, part_path, progress);
  return assembly.Run(plan, std::move(in_place), part_has_bytes, full_path);
}

}  // namespace vantrel
