#include "realm/http_client.h"

#include <memory>
#include <new>

#include "support/http_os.h"
#include "support/os.h"
#include "support/sha256.h"

namespace vantrel {

class HttpSession {
 public:
  os::HttpOsSessionPtr handle;
};

namespace {

constexpr uint32_t kFetchChunkBytes = 32768;
constexpr uint32_t kDownloadChunkBytes = 262144;

HttpError FromFault(os::HttpFault fault) {
  switch (fault) {
    case os::HttpFault::kNone: return HttpError::kNone;
    case os::HttpFault::kOutOfMemory: return HttpError::kOutOfMemory;
    case os::HttpFault::kBadAddress: return HttpError::kBadAddress;
    case os::HttpFault::kNoAnswer: break;
  }
  return HttpError::kNoAnswer;
}

}  // namespace

void CloseSession(HttpSession* session) { delete session; }

HttpError OpenSession(SessionPtr* session) {
  session->reset();
  SessionPtr opened(new (std::nothrow) HttpSession());
  if (!opened) return HttpError::kOutOfMemory;
  if (const HttpError error = FromFault(os::OpenHttpOsSession(&opened->handle)); error != HttpError::kNone) {
    return error;
  }
  *session = std::move(opened);
  return HttpError::kNone;
}

FetchResult Fetch(HttpSession& session, std::string_view method, std::string_view address, std::string_view headers,
                  std::string_view body, size_t limit) {
  FetchResult result;
  os::HttpOsRequestPtr request;
  uint32_t status = 0;
  result.error = FromFault(os::SendHttpRequest(*session.handle, method, address, headers, body, &request, &status));
  if (result.error != HttpError::kNone) return result;

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kFetchChunkBytes]);
  if (!buffer) {
    result.error = HttpError::kOutOfMemory;
    return result;
  }
  std::string answer;
  for (;;) {
    uint32_t got = 0;
    if (os::ReadHttpChunk(*request, buffer.get(), kFetchChunkBytes, &got) != os::HttpFault::kNone) {
      result.error = HttpError::kNoAnswer;
      return result;
    }
    if (got == 0) break;
    // Checked before appending, so an oversized answer never holds more than the limit.
    if (got > limit - answer.size()) {
      result.error = HttpError::kTooLarge;
      return result;
    }
    try {
      answer.append(buffer.get(), got);
    } catch (const std::bad_alloc&) {
      result.error = HttpError::kOutOfMemory;
      return result;
    }
  }
  result.status = status;
  result.body = std::move(answer);
  return result;
}

HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress) {
  os::HttpOsRequestPtr request;
  uint32_t status = 0;
  if (const HttpError error =
          FromFault(os::SendHttpRequest(*session.handle, "GET", address, {}, {}, &request, &status));
      error != HttpError::kNone) {
    return error;
  }
  if (status != 200) return HttpError::kBadStatus;  // the destination is left as it was

  os::File file;
  if (file.CreateWrite(destination) != os::kOk) return HttpError::kCannotWrite;
  // From here on nothing unverified may stay under the destination name.
  auto fail = [&file, destination](HttpError error) {
    file.Close();
    os::DeleteFilePath(destination);
    return error;
  };

  Sha256 hash;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kDownloadChunkBytes]);
  if (!hash.ok() || !buffer) return fail(HttpError::kOutOfMemory);

  uint64_t total = 0;
  for (;;) {
    uint32_t got = 0;
    if (os::ReadHttpChunk(*request, buffer.get(), kDownloadChunkBytes, &got) != os::HttpFault::kNone) {
      return fail(HttpError::kNoAnswer);
    }
    if (got == 0) break;
    if (got > size - total) return fail(HttpError::kMismatch);  // refused before a byte of it is written
    total += got;
    hash.Update(buffer.get(), got);
    if (file.Write(buffer.get(), got) != os::kOk) return fail(HttpError::kCannotWrite);
    if (progress && !progress(got)) return fail(HttpError::kStopped);
  }
  file.Flush();
  const std::string actual = hash.FinishText();
  if (total != size || actual.empty() || actual != sha256_text) return fail(HttpError::kMismatch);
  file.Close();
  return HttpError::kNone;
}

std::string_view RequestFailureReason(HttpError error) {
  switch (error) {
    case HttpError::kNone: return {};
    case HttpError::kBadAddress: return "the realm's address in this launcher isn't one";
    case HttpError::kTooLarge: return "the realm sent more than expected";
    default: return "no answer; check your connection";
  }
}

}  // namespace vantrel
