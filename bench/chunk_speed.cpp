// Chunks and hashes a file as the launcher indexes its local copy (1 MiB reads, the default
// chunk sizes) and prints "<bytes> <seconds> <chunks>"; best of `rounds` passes. Built natively
// and as an x86_64 Windows program, so the figure under Wine is the product's own code.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "blockmap/chunker.h"
#include "support/os.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: chunk_speed FILE [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  constexpr uint32_t kPiece = 1048576;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  double best = 1e9;
  uint64_t bytes = 0;
  size_t chunks = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    vantrel::os::File file;
    if (file.OpenRead(argv[1]) != vantrel::os::kOk) return 1;
    vantrel::ChunkHasher hasher(vantrel::kDefaultChunkParams);
    for (;;) {
      uint32_t got = 0;
      if (file.Read(buffer.get(), kPiece, &got) != vantrel::os::kOk) return 1;
      if (got == 0) break;
      hasher.Update(buffer.get(), got);
    }
    hasher.Finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best) best = seconds;
    bytes = hasher.size();
    chunks = hasher.chunks().size();
  }
  std::printf("%llu %.4f %zu\n", static_cast<unsigned long long>(bytes), best, chunks);
  return 0;
}
