#include "realm/range_request.h"

#include <new>
#include <string>

#include "support/text.h"

namespace vantrel {

bool IsExactContentRange(std::string_view value, uint64_t first, uint64_t last, uint64_t size) {
  constexpr std::string_view kUnit = "bytes ";
  if (!StartsWithNoCase(value, kUnit)) return false;
  const std::string_view range = value.substr(kUnit.size());
  const size_t dash = range.find('-');
  const size_t slash = range.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
  uint64_t a = 0, b = 0, total = 0;
  return ParseU64(range.substr(0, dash), &a) && ParseU64(range.substr(dash + 1, slash - dash - 1), &b) &&
         ParseU64(range.substr(slash + 1), &total) && a == first && b == last && total == size;
}

RangeReply SendRangeRequest(HttpSession& session, std::string_view address, uint64_t first, uint64_t last,
                            uint64_t size, os::HttpOsRequestPtr* request) {
  request->reset();
  try {
    const std::string header = "Range: bytes=" + Decimal(first) + "-" + Decimal(last) + "\r\n";
    os::HttpOsRequestPtr sent;
    uint32_t status = 0;
    if (os::SendHttpRequest(OsSession(session), "GET", address, header, {}, &sent, &status) != os::HttpFault::kNone) {
      return RangeReply::kFailed;
    }
    if (status == 200) {
      *request = std::move(sent);
      return RangeReply::kWholeFile;
    }
    std::string content_range;
    if (status != 206 || !os::ReadContentRange(*sent, &content_range) ||
        !IsExactContentRange(content_range, first, last, size)) {
      return RangeReply::kRefused;
    }
    *request = std::move(sent);
    return RangeReply::kExact;
  } catch (const std::bad_alloc&) {
    return RangeReply::kFailed;
  }
}

}  // namespace vantrel
