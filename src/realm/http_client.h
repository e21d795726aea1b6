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
  // The answer kept ending before the bytes asked for, and asking again didn't get further.
  kCutShort,
};

class HttpSession;  // closes its handle when destroyed

struct FetchResult {
  uint32_t status = 0;
  std::string body;
  HttpError error = HttpError::kNone;
};

// Called after each chunk is hashed and written, with the chunk's byte count; false stops.
// A resumed download first reports the bytes it continues from as one chunk. The counts add up
// to the file's size once: bytes fetched again after the realm sent the whole file anew are not
// counted twice.
using DownloadProgress = std::function<bool(uint64_t chunk_bytes)>;

// Lets a download continue from, and leave behind, the first bytes of its file.
struct DownloadResume {
  // In: the destination may hold the first bytes of this same file, from an earlier run; only
  // the rest is asked for. The whole file is still checked at the end, and when it doesn't
  // match, those bytes are thrown away and the file is fetched whole once.
  bool continue_destination = false;
  // Out: bytes left at the destination by a download whose answers kept ending early; 0 when
  // the destination is gone as after any failure.
  uint64_t kept = 0;
  // Out, with kCutShort: the furthest byte an answer reached before it stopped.
  uint64_t stopped_at = 0;
};

// Wine's WinHTTP before 9 ends every answer body at 2,147,483,647 bytes as if it were complete,
// so no download asks for more than 1 GiB in one request.
inline constexpr uint64_t kMaxBodyBytes = uint64_t{1} << 30;

// Bytes [first, end) of a file.
struct ByteSpan {
  uint64_t first = 0;
  uint64_t end = 0;
};

// The next request for a `size`-byte file whose first `offset` bytes are in hand: at most
// `max_body` bytes from `offset` on.
ByteSpan NextSpan(uint64_t offset, uint64_t size, uint64_t max_body = kMaxBodyBytes);

// The header asking for `span` of a `size`-byte file: empty for the whole file (as a plain
// request), "Range: bytes=first-" for the rest of it, "Range: bytes=first-last" otherwise.
std::string RangeHeader(ByteSpan span, uint64_t size);

// How the answer to a request for a span of a file is taken.
enum class ResumeAnswer : uint8_t { kContinue, kStartOver, kRefused };
// A 206 whose Content-Range is exactly "bytes first-(end-1)/size" continues, a 200 (the whole
// file from byte 0) starts over, anything else is refused.
ResumeAnswer JudgeRangeAnswer(uint32_t status, std::string_view content_range, ByteSpan asked, uint64_t size);
// The same for the rest of the file from `offset` on.
inline ResumeAnswer JudgeResumeAnswer(uint32_t status, std::string_view content_range, uint64_t offset, uint64_t size) {
  return JudgeRangeAnswer(status, content_range, ByteSpan{offset, size}, size);
}

void CloseSession(HttpSession* session);
struct HttpSessionDeleter {
  void operator()(HttpSession* session) const { CloseSession(session); }
};
using SessionPtr = std::unique_ptr<HttpSession, HttpSessionDeleter>;

// One session per job: automatic proxy, then the default proxy; the four timeouts.
HttpError OpenSession(SessionPtr* session);
// The OS session under it, for requests made outside this client (the block map's ranges).
os::HttpOsSession& OsSession(HttpSession& session);
// Lowers the longest body a download of this session asks for (tests use it to see a large
// file's requests with a small one).
void SetMaxBodyBytes(HttpSession& session, uint64_t bytes);

FetchResult Fetch(HttpSession& session, std::string_view method, std::string_view address, std::string_view headers,
                  std::string_view body, size_t limit);

// Fetches the file in requests of at most the session's body limit, into one destination,
// hashed as it arrives. An answer that ends before the bytes asked for is asked again from
// where it stopped, a few times while each try gets further; then the download ends with
// kCutShort. Without `resume`, every failure after the destination was created deletes it.
HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress,
                   DownloadResume* resume = nullptr);

// The reason shown for a failed request: "the realm's address in this launcher isn't one",
// "the realm sent more than expected", or "no answer; check your connection".
std::string_view RequestFailureReason(HttpError error);

}  // namespace vantrel
