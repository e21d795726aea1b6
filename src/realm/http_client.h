#pragma once
// Requests to the realm's site: open a session, fetch an answer into memory, download an
// answer into a file while hashing it. The loops are portable; the OS seam sends a request
// and reads chunks (WinHTTP on Windows, libcurl natively).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vantrel {
namespace os {
struct HttpOsSession;
}

enum class HttpError : uint8_t {
  kNone,
  kOutOfMemory,
  kBadAddress,
  kNoAnswer,
  kTooLarge,
  kBadStatus,
  kCannotWrite,
  kMismatch,
  kStopped,
};

class HttpSession;  // closes its handle when destroyed

struct FetchResult {
  uint32_t status = 0;
  std::string body;
  HttpError error = HttpError::kNone;
};

// Called after each chunk is hashed and written, with the chunk's byte count; false stops.
// A resumed download first reports the bytes it continues from as one chunk.
using DownloadProgress = std::function<bool(uint64_t chunk_bytes)>;

// Lets a download continue from, and leave behind, the first bytes of its file.
struct DownloadResume {
  // In: the destination holds the first bytes of this same file, from a download that ended
  // early; only the rest is asked for, and the whole file is still checked at the end.
  bool continue_destination = false;
  // Out: bytes left at the destination by a download that ended early (the connection failed
  // or the body ended before the size); 0 when the destination is gone as after any failure.
  uint64_t kept = 0;
};

// How the answer to a request for the bytes from `offset` on of a `size`-byte file is taken.
enum class ResumeAnswer : uint8_t { kContinue, kStartOver, kRefused };
// A 206 whose Content-Range is exactly "bytes offset-(size-1)/size" continues, a 200 (the whole
// file) starts over, anything else is refused.
ResumeAnswer JudgeResumeAnswer(uint32_t status, std::string_view content_range, uint64_t offset, uint64_t size);

void CloseSession(HttpSession* session);
struct HttpSessionDeleter {
  void operator()(HttpSession* session) const { CloseSession(session); }
};
using SessionPtr = std::unique_ptr<HttpSession, HttpSessionDeleter>;

// One session per job: automatic proxy, then the default proxy; the four timeouts.
HttpError OpenSession(SessionPtr* session);
// The OS session under it, for requests made outside this client (the block map's ranges).
os::HttpOsSession& OsSession(HttpSession& session);

FetchResult Fetch(HttpSession& session, std::string_view method, std::string_view address, std::string_view headers,
                  std::string_view body, size_t limit);

// Without `resume`, every failure after the destination was created deletes it.
HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress,
                   DownloadResume* resume = nullptr);

// The reason shown for a failed request: "the realm's address in this launcher isn't one",
// "the realm sent more than expected", or "no answer; check your connection".
std::string_view RequestFailureReason(HttpError error);

}  // namespace vantrel
