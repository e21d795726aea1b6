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
using DownloadProgress = std::function<bool(uint64_t chunk_bytes)>;

void CloseSession(HttpSession* session);
struct HttpSessionDeleter {
  void operator()(HttpSession* session) const { CloseSession(session); }
};
using SessionPtr = std::unique_ptr<HttpSession, HttpSessionDeleter>;

// One session per job: automatic proxy, then the default proxy; the four timeouts.
HttpError OpenSession(SessionPtr* session);

FetchResult Fetch(HttpSession& session, std::string_view method, std::string_view address, std::string_view headers,
                  std::string_view body, size_t limit);

HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress);

// The reason shown for a failed request: "the realm's address in this launcher isn't one",
// "the realm sent more than expected", or "no answer; check your connection".
std::string_view RequestFailureReason(HttpError error);

}  // namespace vantrel
