#include "realm/http_client.h"

#include <memory>
#include <new>

#include "support/http_os.h"
#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel {

class HttpSession {
 public:
  os::HttpOsSessionPtr handle;
  // Every download of the session reads through this one buffer, taken at the first: a fresh
  // 256 KiB block per file costs tens of microseconds under Wine, more than a small file's data.
  std::unique_ptr<char[]> download_buffer;
};

namespace {

constexpr uint32_t kFetchChunkBytes = 32768;
constexpr uint32_t kDownloadChunkBytes = 262144;

// Reads an open file from its current place (its start) to its end into the hash; the byte
// count, or UINT64_MAX when a read fails. Writes then go on at the end.
uint64_t HashFromStart(os::File& file, Sha256& hash, char* buffer, uint32_t capacity) {
  uint64_t count = 0;
  for (;;) {
    uint32_t got = 0;
    if (file.Read(buffer, capacity, &got) != os::kOk) return UINT64_MAX;
    if (got == 0) return count;
    hash.Update(buffer, got);
    count += got;
  }
}

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

os::HttpOsSession& OsSession(HttpSession& session) { return *session.handle; }

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

ResumeAnswer JudgeResumeAnswer(uint32_t status, std::string_view content_range, uint64_t offset, uint64_t size) {
  if (status == 200) return ResumeAnswer::kStartOver;
  if (status != 206 || offset >= size) return ResumeAnswer::kRefused;
  // "bytes first-last/total": the rest of this very file, nothing more or less.
  constexpr std::string_view kUnit = "bytes ";
  if (!StartsWithNoCase(content_range, kUnit)) return ResumeAnswer::kRefused;
  const std::string_view range = content_range.substr(kUnit.size());
  const size_t dash = range.find('-');
  const size_t slash = range.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return ResumeAnswer::kRefused;
  uint64_t first = 0, last = 0, total = 0;
  if (!ParseU64(range.substr(0, dash), &first) || !ParseU64(range.substr(dash + 1, slash - dash - 1), &last) ||
      !ParseU64(range.substr(slash + 1), &total)) {
    return ResumeAnswer::kRefused;
  }
  return first == offset && last == size - 1 && total == size ? ResumeAnswer::kContinue : ResumeAnswer::kRefused;
}

HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress,
                   DownloadResume* resume) {
  if (resume != nullptr) resume->kept = 0;
  os::File file;
  uint64_t total = 0;
  // Bytes placed at the destination to be continued make it ours from the start; otherwise it
  // becomes ours when created. Once ours, nothing unverified may stay under its name.
  bool owned = resume != nullptr && resume->continue_destination;
  auto fail = [&file, &owned, destination](HttpError error) {
    file.Close();
    if (owned) os::DeleteFilePath(destination);
    return error;
  };
  // What arrived before the connection failed or the body ended short is kept when the caller
  // can hold on to it for a later run.
  auto ended_early = [&](HttpError error) {
    if (resume == nullptr || total == 0 || total >= size) return fail(error);
    file.Close();
    resume->kept = total;
    return error;
  };

  if (owned && file.OpenUpdate(destination) == os::kOk) {
    const uint64_t present = os::GetFileFacts(destination).size;
    if (present > 0 && present < size) {
      total = present;
    } else {
      file.Close();
    }
  }
  const uint64_t offset = total;
  std::string range_header;
  try {
    if (offset > 0) range_header = "Range: bytes=" + Decimal(offset) + "-\r\n";
  } catch (const std::bad_alloc&) {
    return fail(HttpError::kOutOfMemory);
  }
  os::HttpOsRequestPtr request;
  uint32_t status = 0;
  const os::HttpFault fault = os::SendHttpRequest(*session.handle, "GET", address, range_header, {}, &request, &status);
  if (fault == os::HttpFault::kNoAnswer) return ended_early(HttpError::kNoAnswer);
  if (fault != os::HttpFault::kNone) return fail(FromFault(fault));
  if (offset > 0) {
    std::string content_range;  // stays empty, which is refused, when the answer has none
    try {
      os::ReadContentRange(*request, &content_range);
    } catch (const std::bad_alloc&) {
      return fail(HttpError::kOutOfMemory);
    }
    switch (JudgeResumeAnswer(status, content_range, offset, size)) {
      case ResumeAnswer::kContinue: break;
      case ResumeAnswer::kStartOver: total = 0; break;  // the realm sends the whole file instead
      case ResumeAnswer::kRefused: return fail(HttpError::kBadStatus);
    }
  } else if (status != 200) {
    return fail(HttpError::kBadStatus);  // a destination not yet ours is left as it was
  }
  if (total == 0) {
    if (file.CreateWrite(destination) != os::kOk) return fail(HttpError::kCannotWrite);
    owned = true;
  }

  Sha256 hash;
  if (!session.download_buffer) session.download_buffer.reset(new (std::nothrow) char[kDownloadChunkBytes]);
  char* const buffer = session.download_buffer.get();
  if (!hash.ok() || buffer == nullptr) return fail(HttpError::kOutOfMemory);
  // The hash continues from the bytes already there, read through the download buffer; the
  // progress counts them as done.
  if (total > 0) {
    if (HashFromStart(file, hash, buffer, kDownloadChunkBytes) != total) return fail(HttpError::kCannotWrite);
    if (progress && !progress(total)) return fail(HttpError::kStopped);
  }

  for (;;) {
    uint32_t got = 0;
    if (os::ReadHttpChunk(*request, buffer, kDownloadChunkBytes, &got) != os::HttpFault::kNone) {
      return ended_early(HttpError::kNoAnswer);
    }
    if (got == 0) break;
    if (got > size - total) return fail(HttpError::kMismatch);  // refused before a byte of it is written
    total += got;
    hash.Update(buffer, got);
    if (file.Write(buffer, got) != os::kOk) return fail(HttpError::kCannotWrite);
    if (progress && !progress(got)) return fail(HttpError::kStopped);
  }
  file.Flush();
  if (total < size) return ended_early(HttpError::kMismatch);
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
