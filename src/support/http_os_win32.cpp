// The request primitive over WinHTTP in synchronous mode: the product's side of the seam.
#include <windows.h>
#include <winhttp.h>

#include <new>
#include <string>

#include "support/http_os.h"
#include "support/text.h"
#include "support/win_text.h"

namespace vantrel::os {

struct HttpOsSession {
  HINTERNET handle = nullptr;
};

inline constexpr uint64_t kLengthUnknown = UINT64_MAX;

struct HttpOsRequest {
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  uint64_t announced = kLengthUnknown;  // the answer's Content-Length, when it gave one
  uint64_t received = 0;
};

void CloseHttpOsSession(HttpOsSession* session) {
  if (session == nullptr) return;
  if (session->handle != nullptr) WinHttpCloseHandle(session->handle);
  delete session;
}

void CloseHttpOsRequest(HttpOsRequest* request) {
  if (request == nullptr) return;
  if (request->request != nullptr) WinHttpCloseHandle(request->request);
  if (request->connection != nullptr) WinHttpCloseHandle(request->connection);
  delete request;
}

HttpFault OpenHttpOsSession(HttpOsSessionPtr* session) {
  session->reset();
  std::wstring agent;
  try {
    if (!ToWide(kHttpUserAgent, &agent)) return HttpFault::kOutOfMemory;
  } catch (const std::bad_alloc&) {
    return HttpFault::kOutOfMemory;
  }
  HINTERNET handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
  // Older systems don't know the automatic type.
  if (handle == nullptr) {
    handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (handle == nullptr) return HttpFault::kNoAnswer;
  WinHttpSetTimeouts(handle, kHttpResolveTimeout, kHttpConnectTimeout, kHttpSendTimeout, kHttpReceiveTimeout);
  HttpOsSessionPtr opened(new (std::nothrow) HttpOsSession());
  if (!opened) {
    WinHttpCloseHandle(handle);
    return HttpFault::kOutOfMemory;
  }
  opened->handle = handle;
  *session = std::move(opened);
  return HttpFault::kNone;
}

namespace {

uint64_t AnnouncedLength(HINTERNET request) {
  wchar_t text[32];
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return kLengthUnknown;
  }
  uint64_t value = 0;
  const size_t length = size / sizeof(wchar_t);
  if (length == 0 || length > 19) return kLengthUnknown;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return kLengthUnknown;
    value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return value;
}

HttpFault Send(HttpOsSession& session, std::string_view method, std::string_view address, std::string_view headers,
               std::string_view body, HttpOsRequest& r, uint32_t* status) {
  std::wstring wide_address;
  if (!ToWide(address, &wide_address)) return HttpFault::kBadAddress;

  // Host and path only: the query is never asked for, so it is never sent.
  wchar_t host[kHttpHostCapacity];
  wchar_t path[kHttpPathCapacity];
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHttpHostCapacity;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kHttpPathCapacity;
  if (!WinHttpCrackUrl(wide_address.c_str(), 0, 0, &parts)) return HttpFault::kBadAddress;
  if (parts.dwHostNameLength >= kHttpHostCapacity || parts.dwUrlPathLength >= kHttpPathCapacity ||
      parts.dwHostNameLength == 0) {
    return HttpFault::kBadAddress;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return HttpFault::kBadAddress;
  host[parts.dwHostNameLength] = L'\0';
  path[parts.dwUrlPathLength] = L'\0';
  // Wine leaves the query (and fragment) in the path; cut it here so both systems send the path alone.
  for (DWORD i = 0; i < parts.dwUrlPathLength; ++i) {
    if (path[i] == L'?' || path[i] == L'#') {
      path[i] = L'\0';
      break;
    }
  }
  if (path[0] == L'\0') {
    path[0] = L'/';
    path[1] = L'\0';
  }

  r.connection = WinHttpConnect(session.handle, host, parts.nPort, 0);
  if (r.connection == nullptr) return HttpFault::kNoAnswer;

  std::wstring wide_method;
  if (!ToWide(method, &wide_method)) return HttpFault::kOutOfMemory;
  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  r.request = WinHttpOpenRequest(r.connection, wide_method.c_str(), path, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (r.request == nullptr) return HttpFault::kNoAnswer;

  std::wstring wide_headers;
  if (!ToWide(headers, &wide_headers)) return HttpFault::kOutOfMemory;
  if (body.size() > MAXDWORD || wide_headers.size() > MAXDWORD) return HttpFault::kOutOfMemory;
  const DWORD body_length = static_cast<DWORD>(body.size());
  LPVOID body_data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  const BOOL sent =
      headers.empty()
          ? WinHttpSendRequest(r.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body_data, body_length, body_length, 0)
          : WinHttpSendRequest(r.request, wide_headers.c_str(), static_cast<DWORD>(wide_headers.size()), body_data,
                               body_length, body_length, 0);
  if (!sent) return HttpFault::kNoAnswer;
  if (!WinHttpReceiveResponse(r.request, nullptr)) return HttpFault::kNoAnswer;

  DWORD code = 0;
  DWORD code_size = sizeof(code);
  if (!WinHttpQueryHeaders(r.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX)) {
    return HttpFault::kNoAnswer;
  }
  *status = code;
  if (code != 204 && code != 304) r.announced = AnnouncedLength(r.request);
  return HttpFault::kNone;
}

}  // namespace

HttpFault SendHttpRequest(HttpOsSession& session, std::string_view method, std::string_view address,
                          std::string_view headers, std::string_view body, HttpOsRequestPtr* request,
                          uint32_t* status) {
  request->reset();
  *status = 0;
  // Owned from the start, so every failure below closes the request, then the connection.
  HttpOsRequestPtr opened(new (std::nothrow) HttpOsRequest());
  if (!opened) return HttpFault::kOutOfMemory;
  HttpFault fault = HttpFault::kOutOfMemory;
  try {
    fault = Send(session, method, address, headers, body, *opened, status);
  } catch (const std::bad_alloc&) {
    fault = HttpFault::kOutOfMemory;
  }
  if (fault == HttpFault::kNone) *request = std::move(opened);
  return fault;
}

HttpFault ReadHttpChunk(HttpOsRequest& request, void* buffer, uint32_t capacity, uint32_t* got) {
  DWORD read = 0;
  *got = 0;
  if (!WinHttpReadData(request.request, buffer, capacity, &read)) return HttpFault::kNoAnswer;
  // Wine ends a body cut short by the server as if it were complete; an answer shorter than it
  // announced is no answer, as it is natively.
  if (read == 0 && request.announced != kLengthUnknown && request.received < request.announced) {
    return HttpFault::kNoAnswer;
  }
  request.received += read;
  *got = read;
  return HttpFault::kNone;
}

bool ReadContentRange(HttpOsRequest& request, std::string* value) {
  // A range this header describes fits in well under 128 units; a longer one is nothing we asked for.
  wchar_t text[128];
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request.request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  std::string utf8;
  if (!FromWide(text, size / sizeof(wchar_t), &utf8)) return false;
  value->assign(TrimChars(utf8, " \t"));
  return true;
}

}  // namespace vantrel::os
