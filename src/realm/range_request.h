#pragma once
// One single-range GET ("Range: bytes=first-last", or "first-" to the end), never several ranges in one request:
// sites answer those with the whole file, 501, the first range only or garbage. The answer is
// used only when it is a 206 carrying exactly the range asked for, or a 200 (the whole file).
#include <cstdint>
#include <string_view>

#include "realm/http_client.h"
#include "support/http_os.h"

namespace vantrel {

enum class RangeReply : uint8_t { kExact, kWholeFile, kRefused, kFailed };

// Sends the request for bytes first..last (inclusive) of a `size`-byte file. kExact and
// kWholeFile leave the open request in `request`, its body to be read with os::ReadHttpChunk.
RangeReply SendRangeRequest(HttpSession& session, std::string_view address, uint64_t first, uint64_t last,
                            uint64_t size, os::HttpOsRequestPtr* request);

}  // namespace vantrel
