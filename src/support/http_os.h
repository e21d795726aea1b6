#pragma once
// The HTTP request primitive under the realm client: a session per job, one request at a time
// on it, the answer body read in chunks. WinHTTP on Windows (the product), libcurl natively.
// Both sides refuse the same addresses before any traffic and use the same agent and timeouts.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vantrel::os {

enum class HttpFault : uint8_t { kNone, kOutOfMemory, kBadAddress, kNoAnswer };

inline constexpr char kHttpUserAgent[] = "VantrelLauncher/1.0";
// Resolve, connect, send, receive, in milliseconds.
inline constexpr uint32_t kHttpResolveTimeout = 15000;
inline constexpr uint32_t kHttpConnectTimeout = 15000;
inline constexpr uint32_t kHttpSendTimeout = 30000;
inline constexpr uint32_t kHttpReceiveTimeout = 60000;
// A cracked host must stay below 256 units and a path below 2048, as WinHTTP's buffers demand.
inline constexpr size_t kHttpHostCapacity = 256;
inline constexpr size_t kHttpPathCapacity = 2048;

struct HttpOsSession;
struct HttpOsRequest;
void CloseHttpOsSession(HttpOsSession* session);
void CloseHttpOsRequest(HttpOsRequest* request);  // the request, then its connection
struct HttpOsCloser {
  void operator()(HttpOsSession* session) const { CloseHttpOsSession(session); }
  void operator()(HttpOsRequest* request) const { CloseHttpOsRequest(request); }
};
using HttpOsSessionPtr = std::unique_ptr<HttpOsSession, HttpOsCloser>;
using HttpOsRequestPtr = std::unique_ptr<HttpOsRequest, HttpOsCloser>;

// Automatic proxy first, then the default proxy; kNoAnswer when neither opens.
HttpFault OpenHttpOsSession(HttpOsSessionPtr* session);

// Sends one request and waits for the answer's status line. The query and fragment of the
// address are not sent. `headers` is "Name: value\r\n" lines or empty; `body` must stay alive
// until the request is closed.
HttpFault SendHttpRequest(HttpOsSession& session, std::string_view method, std::string_view address,
                          std::string_view headers, std::string_view body, HttpOsRequestPtr* request, uint32_t* status);

// Reads the next piece of the answer body; *got == 0 means the body is complete.
HttpFault ReadHttpChunk(HttpOsRequest& request, void* buffer, uint32_t capacity, uint32_t* got);

// The Content-Range of the answer as sent, without surrounding blanks; false when it has none.
bool ReadContentRange(HttpOsRequest& request, std::string* value);

}  // namespace vantrel::os
