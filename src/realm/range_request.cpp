#include "realm/range_request.h"

#include <new>
#include <string>

namespace vantrel {

RangeReply SendRangeRequest(HttpSession& session, std::string_view address, uint64_t first, uint64_t last,
                            uint64_t size, os::HttpOsRequestPtr* request) {
  request->reset();
  try {
    const std::string header = RangeHeader(ByteSpan{first, last + 1}, size);
    os::HttpOsRequestPtr sent;
    uint32_t status = 0;
    if (os::SendHttpRequest(OsSession(session), "GET", address, header, {}, &sent, &status) != os::HttpFault::kNone) {
      return RangeReply::kFailed;
    }
    std::string content_range;  // stays empty, which is refused, when the answer has none
    os::ReadContentRange(*sent, &content_range);
    switch (JudgeRangeAnswer(status, content_range, ByteSpan{first, last + 1}, size)) {
      case ResumeAnswer::kContinue: *request = std::move(sent); return RangeReply::kExact;
      case ResumeAnswer::kStartOver: *request = std::move(sent); return RangeReply::kWholeFile;
      case ResumeAnswer::kRefused: break;
    }
    return RangeReply::kRefused;
  } catch (const std::bad_alloc&) {
    return RangeReply::kFailed;
  }
}

}  // namespace vantrel
