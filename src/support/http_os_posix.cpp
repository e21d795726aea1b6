// The request primitive over libcurl, so every job that talks to the realm runs natively under
// the sanitizers. One easy handle per request driven through a multi handle: the write
// callback fills a bounded buffer and pauses the transfer when it is full, and each chunk read
// drains it, so a download never sits in memory whole.
#include <curl/curl.h>

#include <mutex>
#include <new>
#include <string>

#include "support/http_os.h"
#include "support/text.h"
#include "support/utf.h"

namespace vantrel::os {

// Like a WinHTTP session, it keeps connections open for the job's next request.
struct HttpOsSession {
  CURLSH* share = nullptr;
};

struct HttpOsRequest {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string pending;        // received, not yet read
  std::string content_range;  // of the latest answer's header block
  bool has_content_range = false;
  size_t pending_offset = 0;
  bool headers_done = false;
  bool redirect_location = false;
  bool paused = false;
  bool finished = false;
  CURLcode result = CURLE_OK;
};

namespace {

// Past this much unread body the transfer pauses until the reader catches up.
constexpr size_t kPendingHighWater = 262144;
constexpr long kMaxRedirects = 10;  // as WinHTTP follows by default

bool IsHttpScheme(std::string_view scheme, bool* secure) {
  if (EqualsNoCase(scheme, "http")) {
    *secure = false;
    return true;
  }
  if (EqualsNoCase(scheme, "https")) {
    *secure = true;
    return true;
  }
  return false;
}

// Bytes that may not appear raw in a request line go out percent-encoded; "%" stays as written,
// since the realm's paths are appended without encoding.
bool NeedsEscape(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}': return true;
    default: return false;
  }
}

void AppendEscaped(std::string_view text, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (NeedsEscape(c)) {
      out->push_back('%');
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

// Splits the address the way WinHttpCrackUrl does and rebuilds it without query or fragment.
// False for anything WinHTTP would refuse: an unknown scheme, no host, a bad port, a host of
// 256 bytes or more, a path of 2048 or more.
bool RequestUrl(std::string_view address, std::string* url) {
  if (!IsValidUtf8(address)) return false;
  const size_t scheme_end = address.find("://");
  if (scheme_end == std::string_view::npos) return false;
  bool secure = false;
  if (!IsHttpScheme(address.substr(0, scheme_end), &secure)) return false;
  std::string_view rest = address.substr(scheme_end + 3);
  const size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  std::string_view path = authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    port = host.substr(close + 1);
    host = host.substr(0, close + 1);
    if (!port.empty() && port.front() != ':') return false;
  } else {
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      port = host.substr(colon);
      host = host.substr(0, colon);
    }
  }
  if (!port.empty()) port.remove_prefix(1);
  uint32_t port_number = 0;
  if (!port.empty() && (!ParseU32(port, &port_number) || port_number == 0 || port_number > 65535)) return false;
  if (host.empty() || host.size() >= kHttpHostCapacity) return false;
  for (unsigned char c : host) {
    if (c <= 0x20 || c >= 0x7F || c == '/' || c == '\\') return false;
  }

  path = path.substr(0, path.find_first_of("?#"));
  if (path.size() >= kHttpPathCapacity) return false;

  url->clear();
  url->append(secure ? "https://" : "http://");
  url->append(host);
  if (!port.empty()) {
    url->push_back(':');
    url->append(port);
  }
  if (path.empty()) {
    url->push_back('/');
  } else {
    AppendEscaped(path, url);
  }
  return true;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<HttpOsRequest*>(user);
  const size_t bytes = size * count;
  request->headers_done = true;
  if (request->pending.size() - request->pending_offset >= kPendingHighWater) {
    request->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // Compact only once the read part dominates, so bytes are not moved on every callback.
  if (request->pending_offset > 0 && request->pending_offset >= request->pending.size() / 2) {
    request->pending.erase(0, request->pending_offset);
    request->pending_offset = 0;
  }
  try {
    request->pending.append(data, bytes);
  } catch (const std::bad_alloc&) {
    return 0;  // curl ends the transfer with a write error
  }
  return bytes;
}

// The blank line after a final header block means the status is known: not after a 1xx, and
// not after a redirect that curl is about to follow.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<HttpOsRequest*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  if (StartsWithNoCase(line, "HTTP/")) {
    request->redirect_location = false;
    request->has_content_range = false;
  } else if (StartsWithNoCase(line, "content-range:")) {
    try {
      request->content_range.assign(TrimChars(line.substr(14), " \t\r\n"));
      request->has_content_range = true;
    } catch (const std::bad_alloc&) {
      return 0;  // curl ends the transfer with a write error
    }
  } else if (StartsWithNoCase(line, "location:")) {
    request->redirect_location = true;
  } else if (line == "\r\n" || line == "\n") {
    long code = 0;
    curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &code);
    const bool followed =
        request->redirect_location && (code == 301 || code == 302 || code == 303 || code == 307 || code == 308);
    if (code >= 200 && !followed) request->headers_done = true;
  }
  return bytes;
}

// Runs the transfer until `done()` holds or it ends.
template <typename Done>
void Drive(HttpOsRequest& request, Done done) {
  while (!done() && !request.finished) {
    int running = 0;
    if (curl_multi_perform(request.multi, &running) != CURLM_OK) {
      request.finished = true;
      request.result = CURLE_RECV_ERROR;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(request.multi, &left)) {
      if (message->msg == CURLMSG_DONE) {
        request.finished = true;
        request.result = message->data.result;
      }
    }
    if (done() || request.finished) break;
    curl_multi_poll(request.multi, nullptr, 0, 1000, nullptr);
  }
}

bool AddHeaderLines(std::string_view headers, bool* has_content_type, curl_slist** list) {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string_view::npos) end = headers.size();
    const std::string line(headers.substr(start, end - start));
    if (!line.empty()) {
      if (StartsWithNoCase(line, "content-type:")) *has_content_type = true;
      curl_slist* grown = curl_slist_append(*list, line.c_str());
      if (grown == nullptr) return false;
      *list = grown;
    }
    start = end + 2;
  }
  return true;
}

std::once_flag global_init;

}  // namespace

void CloseHttpOsSession(HttpOsSession* session) {
  if (session == nullptr) return;
  if (session->share != nullptr) curl_share_cleanup(session->share);
  delete session;
}

void CloseHttpOsRequest(HttpOsRequest* request) {
  if (request == nullptr) return;
  if (request->easy != nullptr) {
    if (request->multi != nullptr) curl_multi_remove_handle(request->multi, request->easy);
    curl_easy_cleanup(request->easy);
  }
  if (request->multi != nullptr) curl_multi_cleanup(request->multi);
  curl_slist_free_all(request->headers);
  delete request;
}

HttpFault OpenHttpOsSession(HttpOsSessionPtr* session) {
  CURLcode init = CURLE_OK;
  std::call_once(global_init, [&init] { init = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (init != CURLE_OK) return HttpFault::kNoAnswer;
  HttpOsSessionPtr opened(new (std::nothrow) HttpOsSession());
  if (!opened) return HttpFault::kOutOfMemory;
  // One job uses a session from one thread, so the share needs no lock callbacks.
  opened->share = curl_share_init();
  if (opened->share == nullptr) return HttpFault::kOutOfMemory;
  curl_share_setopt(opened->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(opened->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  *session = std::move(opened);
  return HttpFault::kNone;
}

HttpFault SendHttpRequest(HttpOsSession& session, std::string_view method, std::string_view address,
                          std::string_view headers, std::string_view body, HttpOsRequestPtr* request,
                          uint32_t* status) {
  request->reset();
  *status = 0;
  std::string url;
  try {
    if (!RequestUrl(address, &url)) return HttpFault::kBadAddress;
  } catch (const std::bad_alloc&) {
    return HttpFault::kOutOfMemory;
  }
  HttpOsRequestPtr opened(new (std::nothrow) HttpOsRequest());
  if (!opened) return HttpFault::kOutOfMemory;
  HttpOsRequest& r = *opened;
  r.multi = curl_multi_init();
  r.easy = curl_easy_init();
  if (r.multi == nullptr || r.easy == nullptr) return HttpFault::kOutOfMemory;

  bool has_content_type = false;
  try {
    if (!AddHeaderLines(headers, &has_content_type, &r.headers)) return HttpFault::kOutOfMemory;
  } catch (const std::bad_alloc&) {
    return HttpFault::kOutOfMemory;
  }
  // WinHTTP sends neither of these unless asked; curl would add both to a POST.
  for (const char* line : {"Expect:", has_content_type ? nullptr : "Content-Type:"}) {
    if (line == nullptr) continue;
    curl_slist* grown = curl_slist_append(r.headers, line);
    if (grown == nullptr) return HttpFault::kOutOfMemory;
    r.headers = grown;
  }

  CURL* easy = r.easy;
  curl_easy_setopt(easy, CURLOPT_SHARE, session.share);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kHttpUserAgent);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  // Proxies come from the environment, as the system's do on Windows; loopback never goes through one.
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kHttpResolveTimeout + kHttpConnectTimeout));
  // No whole-transfer limit (downloads may be long); a stalled answer ends after the receive timeout.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(kHttpReceiveTimeout / 1000));
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r.headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &r);
  if (method == "GET" && body.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    if (method != "POST") {
      const std::string custom(method);
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, custom.c_str());  // curl copies it
    }
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
  }
  if (curl_multi_add_handle(r.multi, easy) != CURLM_OK) return HttpFault::kOutOfMemory;

  Drive(r, [&r] { return r.headers_done; });
  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  if (code <= 0 || (r.finished && r.result != CURLE_OK && !r.headers_done)) return HttpFault::kNoAnswer;
  *status = static_cast<uint32_t>(code);
  *request = std::move(opened);
  return HttpFault::kNone;
}

HttpFault ReadHttpChunk(HttpOsRequest& request, void* buffer, uint32_t capacity, uint32_t* got) {
  *got = 0;
  if (capacity == 0) return HttpFault::kNone;
  auto available = [&request] { return request.pending.size() - request.pending_offset; };
  if (available() == 0 && request.paused) {
    request.paused = false;
    // Unpausing may hand over held data at once, and may pause again.
    curl_easy_pause(request.easy, CURLPAUSE_CONT);
  }
  Drive(request, [&] { return available() > 0; });
  const size_t ready = available();
  if (ready == 0) return request.result == CURLE_OK ? HttpFault::kNone : HttpFault::kNoAnswer;
  const size_t take = ready < capacity ? ready : capacity;
  request.pending.copy(static_cast<char*>(buffer), take, request.pending_offset);
  request.pending_offset += take;
  if (request.pending_offset == request.pending.size()) {
    request.pending.clear();
    request.pending_offset = 0;
  }
  *got = static_cast<uint32_t>(take);
  return HttpFault::kNone;
}

bool ReadContentRange(HttpOsRequest& request, std::string* value) {
  if (!request.has_content_range) return false;
  value->assign(request.content_range);
  return true;
}

}  // namespace vantrel::os
