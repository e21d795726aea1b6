#include "realm/http_client.h"

#include <memory>
#include <new>
#include <optional>

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
  uint64_t max_body = kMaxBodyBytes;
};

namespace {

constexpr uint32_t kFetchChunkBytes = 32768;
constexpr uint32_t kDownloadChunkBytes = 262144;
// An answer that ended early is asked again from where it stopped at most this many times in
// a row, and only while each try gets further than the last.
constexpr int kMaxRetries = 3;

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

// The destination of one download: the bytes in hand, always a true beginning of the file, and
// their hash. Progress is reported up to the furthest byte ever held, so bytes fetched again
// are not counted twice.
class Receiver {
 public:
  Receiver(std::string_view destination, uint64_t size, const DownloadProgress& progress, char* buffer)
      : destination_(destination), size_(size), progress_(progress), buffer_(buffer) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  uint64_t total() const { return total_; }
  bool hashing() const { return hash_.has_value(); }

  // What an earlier run left at the destination, which is ours from now on. Nothing, or more
  // than the whole file, is not continued.
  void OpenEarlier() {
    owned_ = true;
    if (file_.OpenUpdate(destination_) != os::kOk) return;
    const uint64_t present = os::GetFileFacts(destination_).size;
    if (present > 0 && present <= size_) {
      total_ = present;
    } else {
      file_.Close();
    }
  }
  // Hashes the earlier bytes and counts them as done; writes go on after them.
  HttpError HashEarlier() {
    if (!StartHash()) return HttpError::kOutOfMemory;
    if (HashFromStart(file_, *hash_, buffer_, kDownloadChunkBytes) != total_) return HttpError::kCannotWrite;
    return Report();
  }
  // The destination anew, emptied, with a fresh hash.
  HttpError Create() {
    file_.Close();
    total_ = 0;
    if (file_.CreateWrite(destination_) != os::kOk) return HttpError::kCannotWrite;
    owned_ = true;
    return StartHash() ? HttpError::kNone : HttpError::kOutOfMemory;
  }
  HttpError Take(const char* data, uint32_t count) {
    total_ += count;
    hash_->Update(data, count);
    if (file_.Write(data, count) != os::kOk) return HttpError::kCannotWrite;
    return Report();
  }
  // Flushed first, as anything that renames it needs: true when all of the file is here and
  // hashes to `sha256_text`.
  bool Whole(std::string_view sha256_text) {
    file_.Flush();
    if (total_ != size_) return false;
    const std::string actual = hash_->FinishText();
    return !actual.empty() && actual == sha256_text;
  }
  // Nothing unverified stays under the destination's name once it is ours.
  HttpError Fail(HttpError error) {
    file_.Close();
    if (owned_) os::DeleteFilePath(destination_);
    return error;
  }
  void Close() { file_.Close(); }

 private:
  bool StartHash() {
    hash_.emplace();
    return hash_->ok();
  }
  HttpError Report() {
    if (total_ <= reported_) return HttpError::kNone;
    const uint64_t chunk = total_ - reported_;
    reported_ = total_;
    return progress_ && !progress_(chunk) ? HttpError::kStopped : HttpError::kNone;
  }

  std::string_view destination_;
  uint64_t size_;
  const DownloadProgress& progress_;
  char* buffer_;
  os::File file_;
  std::optional<Sha256> hash_;
  uint64_t total_ = 0;
  uint64_t reported_ = 0;
  bool owned_ = false;
};

HttpError FromFault(os::HttpFault fault) {
  switch (fault) {
    case os::HttpFault::kNone: return HttpError::kNone;
    case os::HttpFault::kOutOfMemory: return HttpError::kOutOfMemory;
    case os::HttpFault::kBadAddress: return HttpError::kBadAddress;
    case os::HttpFault::kNoAnswer: break;
  }
  return HttpError::kNoAnswer;
}

// What one request of a download came to.
struct Asked {
  HttpError error = HttpError::kNone;  // ends the download at once
  bool complete = false;               // every byte asked for arrived
  bool refused = false;                // the answer was neither the bytes asked for nor the whole file
  bool whole_to_range = false;         // a range was answered with the whole file
};

// Asks for the next span of the file and takes what arrives into `receiver`. Neither complete
// nor failed means the answer ended early (or never came).
Asked AskOnce(HttpSession& session, std::string_view address, Receiver& receiver, uint64_t size, char* buffer) {
  Asked asked;
  const ByteSpan span = NextSpan(receiver.total(), size, session.max_body);
  std::string header;
  try {
    header = RangeHeader(span, size);
  } catch (const std::bad_alloc&) {
    asked.error = HttpError::kOutOfMemory;
    return asked;
  }
  os::HttpOsRequestPtr request;
  uint32_t status = 0;
  const os::HttpFault fault = os::SendHttpRequest(*session.handle, "GET", address, header, {}, &request, &status);
  if (fault != os::HttpFault::kNone) {
    if (fault != os::HttpFault::kNoAnswer) asked.error = FromFault(fault);
    return asked;
  }
  ResumeAnswer answer = status == 200 ? ResumeAnswer::kStartOver : ResumeAnswer::kRefused;
  if (!header.empty()) {
    std::string content_range;  // stays empty, which is refused, when the answer has none
    try {
      os::ReadContentRange(*request, &content_range);
    } catch (const std::bad_alloc&) {
      asked.error = HttpError::kOutOfMemory;
      return asked;
    }
    answer = JudgeRangeAnswer(status, content_range, span, size);
  }
  uint64_t end = span.end;
  switch (answer) {
    case ResumeAnswer::kRefused: asked.refused = true; return asked;
    case ResumeAnswer::kStartOver:
      asked.whole_to_range = !header.empty();
      end = size;
      asked.error = receiver.Create();
      break;
    case ResumeAnswer::kContinue:
      if (!receiver.hashing()) asked.error = receiver.total() > 0 ? receiver.HashEarlier() : receiver.Create();
      break;
  }
  while (asked.error == HttpError::kNone) {
    uint32_t got = 0;
    if (os::ReadHttpChunk(*request, buffer, kDownloadChunkBytes, &got) != os::HttpFault::kNone) break;
    if (got == 0) {
      asked.complete = receiver.total() == end;
      break;
    }
    // Refused before a byte of it is written.
    if (got > end - receiver.total()) {
      asked.error = HttpError::kMismatch;
      break;
    }
    asked.error = receiver.Take(buffer, got);
  }
  return asked;
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

void SetMaxBodyBytes(HttpSession& session, uint64_t bytes) { session.max_body = bytes > 0 ? bytes : 1; }

ByteSpan NextSpan(uint64_t offset, uint64_t size, uint64_t max_body) {
  ByteSpan span;
  span.first = offset < size ? offset : size;
  span.end = size - span.first > max_body ? span.first + max_body : size;
  return span;
}

std::string RangeHeader(ByteSpan span, uint64_t size) {
  if (span.first == 0 && span.end >= size) return std::string();
  std::string header = "Range: bytes=" + Decimal(span.first) + "-";
  if (span.end < size) header.append(Decimal(span.end - 1));
  header.append("\r\n");
  return header;
}

ResumeAnswer JudgeRangeAnswer(uint32_t status, std::string_view content_range, ByteSpan asked, uint64_t size) {
  if (status == 200) return ResumeAnswer::kStartOver;
  if (status != 206 || asked.first >= asked.end || asked.end > size) return ResumeAnswer::kRefused;
  // "bytes first-last/total": exactly the bytes asked for, of a file of this very size.
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
  return first == asked.first && last == asked.end - 1 && total == size ? ResumeAnswer::kContinue
                                                                        : ResumeAnswer::kRefused;
}

HttpError Download(HttpSession& session, std::string_view address, std::string_view destination,
                   std::string_view sha256_text, uint64_t size, const DownloadProgress& progress,
                   DownloadResume* resume) {
  if (resume != nullptr) {
    resume->kept = 0;
    resume->stopped_at = 0;
  }
  if (!session.download_buffer) session.download_buffer.reset(new (std::nothrow) char[kDownloadChunkBytes]);
  char* const buffer = session.download_buffer.get();
  Receiver receiver(destination, size, progress, buffer);
  if (resume != nullptr && resume->continue_destination) receiver.OpenEarlier();
  if (buffer == nullptr) return receiver.Fail(HttpError::kOutOfMemory);

  // Bytes of an earlier run that don't hash right at the end are thrown away once.
  bool second_chance = receiver.total() > 0;
  uint64_t start = receiver.total();  // in hand before this download asked for any
  uint64_t furthest = start;
  int retries = 0;
  for (;;) {
    while (!receiver.hashing() || receiver.total() < size) {
      if (!receiver.hashing() && receiver.total() == size && size > 0) {
        // All of the file was here already; it only needs its check.
        if (const HttpError error = receiver.HashEarlier(); error != HttpError::kNone) return receiver.Fail(error);
        break;
      }
      const Asked asked = AskOnce(session, address, receiver, size, buffer);
      if (asked.error != HttpError::kNone) return receiver.Fail(asked.error);
      // A destination not yet ours is left as it was.
      if (asked.refused && retries == 0) return receiver.Fail(HttpError::kBadStatus);
      if (asked.complete) {
        retries = 0;
        continue;
      }
      // The answer ended before the bytes asked for: a cut connection, asked again from where
      // it stopped while that gets further. A realm that answered a range with the whole file
      // can't be asked for the rest.
      const bool further = receiver.total() > furthest;
      if (further) furthest = receiver.total();
      const bool can_resume = !asked.refused && !asked.whole_to_range;
      if (can_resume && further && retries < kMaxRetries) {
        ++retries;
        continue;
      }
      const HttpError error = furthest > start ? HttpError::kCutShort : HttpError::kNoAnswer;
      if (resume != nullptr) {
        if (error == HttpError::kCutShort) resume->stopped_at = furthest;
        // What arrived is kept for a later run, which asks only for the rest.
        if (can_resume && receiver.total() > 0 && receiver.total() < size) {
          receiver.Close();
          resume->kept = receiver.total();
          return error;
        }
      }
      return receiver.Fail(error);
    }
    if (receiver.Whole(sha256_text)) break;
    if (!second_chance) return receiver.Fail(HttpError::kMismatch);
    second_chance = false;
    start = furthest = 0;
    retries = 0;
    if (const HttpError error = receiver.Create(); error != HttpError::kNone) return receiver.Fail(error);
  }
  receiver.Close();
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
