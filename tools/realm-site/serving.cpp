#include "realm-site/serving.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "realm-site/connection_watch.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Answer TextAnswer(int status, std::string_view text) {
  Answer answer;
  answer.status = status;
  answer.body = std::string(text) + "\n";
  return answer;
}

int CheckBodyHead(const Request& request, uint64_t max_body, uint64_t* declared) {
  *declared = UINT64_MAX;
  const std::string encoding = request.Header("Content-Encoding");
  // An encoded body would have to be inflated to be checked: a few KiB can stand for GiBs.
  if (!encoding.empty() && !EqualsNoCase(encoding, "identity")) return 415;
  if (request.HasHeader("Content-Length")) {
    uint64_t length = 0;
    const std::string text = request.Header("Content-Length");
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return 400;
    for (char c : text) length = length * 10 + static_cast<uint64_t>(c - '0');
    if (length > max_body) return 413;
    *declared = length;
  }
  return 0;
}

bool ParseListen(std::string_view text, ListenAddress* address, std::string* error) {
  const size_t colon = text.rfind(':');
  uint32_t port = 0;
  if (colon == std::string_view::npos || colon == 0 || !ParseU32(text.substr(colon + 1), &port) || port > 65535) {
    *error = "--listen wants HOST:PORT, such as 127.0.0.1:8080 (port 0 picks a free one)";
    return false;
  }
  std::string_view host = text.substr(0, colon);
  // An IPv6 address is written in brackets so its colons aren't read as the port's.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  address->host = std::string(host);
  address->port = static_cast<int>(port);
  return true;
}

namespace {

// Digits only; a value past 64 bits saturates (a position that large is past any file).
bool ParsePosition(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    result = result > (UINT64_MAX - digit) / 10 ? UINT64_MAX : result * 10 + digit;
  }
  *value = result;
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

RangeVerdict EvaluateRange(std::string_view header, uint64_t size, uint64_t* first, uint64_t* length) {
  const size_t equals = header.find('=');
  if (equals == std::string_view::npos || !EqualsNoCase(Trimmed(header.substr(0, equals)), "bytes")) {
    return RangeVerdict::kWhole;
  }
  const std::string_view set = Trimmed(header.substr(equals + 1));
  // Several ranges would need a multipart answer built per request: the whole file is the
  // sound answer, and the cheapest.
  if (set.find(',') != std::string_view::npos) return RangeVerdict::kWhole;
  const size_t dash = set.find('-');
  if (dash == std::string_view::npos) return RangeVerdict::kWhole;
  const std::string_view from = Trimmed(set.substr(0, dash));
  const std::string_view to = Trimmed(set.substr(dash + 1));
  uint64_t a = 0;
  uint64_t b = 0;
  if (from.empty()) {  // the last `to` bytes
    if (!ParsePosition(to, &b)) return RangeVerdict::kWhole;
    if (b == 0 || size == 0) return RangeVerdict::kUnsatisfiable;
    *length = b < size ? b : size;
    *first = size - *length;
    return RangeVerdict::kPartial;
  }
  if (!ParsePosition(from, &a)) return RangeVerdict::kWhole;
  if (!to.empty() && (!ParsePosition(to, &b) || b < a)) return RangeVerdict::kWhole;
  if (a >= size) return RangeVerdict::kUnsatisfiable;
  const uint64_t last = to.empty() || b >= size ? size - 1 : b;
  *first = a;
  *length = last - a + 1;
  return RangeVerdict::kPartial;
}

namespace {

// One request: what its body is fed to.
struct Exchange {
  std::unique_ptr<BodySink> sink;
  bool started = false;
  // Where the request line's target starts and where its C string ended as it arrived (the
  // library decodes it in place later), and whether it held an escaped NUL.
  const char* target = nullptr;
  size_t target_length = 0;
  bool escaped_nul = false;
  ConnectionWatch::Watched* watched = nullptr;
};

struct GetRoute {
  std::string path;
  GetHandler handler;
};

struct PostRoute {
  std::string path;
  PostHandler handler;
  std::function<Answer()> busy;
};

bool Matches(const std::string& route, std::string_view path) {
  if (!route.empty() && route.back() == '/') return path.size() > route.size() && path.substr(0, route.size()) == route;
  return path == route;
}

bool IsLoopback(std::string_view address) { return address.substr(0, 4) == "127." || address == "::1"; }

MHD_Result CountHeader(void* total, MHD_ValueKind, const char* key, const char* value) {
  *static_cast<size_t*>(total) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
  return MHD_YES;
}

void FreeString(void* text) { delete static_cast<std::string*>(text); }
void FreeOwner(void* owner) { delete static_cast<std::shared_ptr<const void>*>(owner); }

}  // namespace

std::string Request::Header(std::string_view name) const {
  const std::string key(name);
  const char* value = MHD_lookup_connection_value(static_cast<MHD_Connection*>(const_cast<void*>(connection)),
                                                  MHD_HEADER_KIND, key.c_str());
  return value ? std::string(value) : std::string();
}

bool Request::HasHeader(std::string_view name) const {
  const std::string key(name);
  return MHD_lookup_connection_value(static_cast<MHD_Connection*>(const_cast<void*>(connection)), MHD_HEADER_KIND,
                                     key.c_str()) != nullptr;
}

std::string Request::Query(std::string_view name) const {
  const std::string key(name);
  const char* value = MHD_lookup_connection_value(static_cast<MHD_Connection*>(const_cast<void*>(connection)),
                                                  MHD_GET_ARGUMENT_KIND, key.c_str());
  return value ? std::string(value) : std::string();
}

struct HttpServer::Impl {
  ServeLimits limits;
  std::vector<GetRoute> gets;
  std::vector<PostRoute> posts;
  MHD_Daemon* daemon = nullptr;
  int port = 0;
  bool tls = false;
  std::string tls_cert;
  std::string tls_key;

  std::unique_ptr<ConnectionWatch> watch;

  static ConnectionWatch::Watched* WatchedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionWatch::Watched*>(info->socket_context) : nullptr;
  }

  static MHD_Result OnAccept(void* cls, const sockaddr* address, socklen_t) {
    return static_cast<Impl*>(cls)->watch->Admit(address) ? MHD_YES : MHD_NO;
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code) {
    Impl* self = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      const int fd = info ? info->connect_fd : -1;
      // Small answers go out at once instead of waiting for the peer's delayed ACK.
      const int on = 1;
      if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      *socket_context = self->watch->Started(fd);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socket_context != nullptr) {
      self->watch->Closed(static_cast<ConnectionWatch::Watched*>(*socket_context));
      *socket_context = nullptr;
    }
  }

  // Runs on the raw target, before anything of it is decoded.
  static void* OnTarget(void*, const char* target, MHD_Connection*) {
    auto* exchange = new Exchange;
    exchange->target = target;
    exchange->target_length = std::strlen(target);
    exchange->escaped_nul = std::strstr(target, "%00") != nullptr;
    return exchange;
  }

  // The library hands the target's path on as a C string, so a NUL in it, sent raw or as "%00",
  // cuts it short and names another file ("Game.exe%00.txt" would be "Game.exe"). The raw
  // target ends right before the version, unless a raw NUL ended its C string sooner.
  static bool TargetHoldsNul(const Exchange& exchange, const char* version) {
    return exchange.escaped_nul || version != exchange.target + exchange.target_length + 1;
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** request_context, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*request_context);
    *request_context = nullptr;
    if (ConnectionWatch::Watched* watched = WatchedOf(connection))
      static_cast<Impl*>(cls)->watch->RequestEnded(watched);
  }

  Request MakeRequest(MHD_Connection* connection, const char* url, const char* method) {
    Request request;
    request.connection = connection;
    request.method = method;
    request.path = url;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.peer = AddressText(info ? info->client_addr : nullptr);
    if (limits.trust_proxy && IsLoopback(request.peer)) {
      const std::string forwarded = request.Header("X-Real-IP");
      if (!forwarded.empty() && forwarded.size() <= 64) request.peer = forwarded;
    }
    request.network = AddressGroup(request.peer);
    return request;
  }

  static MHD_Result Queue(MHD_Connection* connection, const Request& request, Answer answer) {
    std::vector<std::pair<std::string, std::string>> headers = std::move(answer.headers);
    MHD_Response* response = nullptr;
    int status = answer.status;
    if (answer.file.valid()) {
      uint64_t first = 0;
      uint64_t length = answer.file_size;
      headers.emplace_back("Accept-Ranges", "bytes");
      if (!answer.etag.empty()) headers.emplace_back("ETag", answer.etag);
      const std::string range = request.Header("Range");
      const std::string if_range = request.Header("If-Range");
      RangeVerdict verdict = RangeVerdict::kWhole;
      if (!range.empty() && status == 200 && (if_range.empty() || if_range == answer.etag)) {
        verdict = EvaluateRange(range, answer.file_size, &first, &length);
      }
      if (verdict == RangeVerdict::kUnsatisfiable) {
        answer.file.Reset();
        status = 416;
        answer.content_type = "text/plain; charset=utf-8";
        answer.body = "the range asked for lies past the end of the file\n";
        headers.emplace_back("Content-Range", "bytes */" + Decimal(answer.file_size));
      } else {
        if (verdict == RangeVerdict::kPartial) {
          status = 206;
          headers.emplace_back("Content-Range", "bytes " + Decimal(first) + "-" + Decimal(first + length - 1) + "/" +
                                                    Decimal(answer.file_size));
        }
        if (length > 0) {
          response = MHD_create_response_from_fd_at_offset64(length, answer.file.get(), first);
          if (response != nullptr) answer.file.Release();  // closed by the response
        } else {
          answer.file.Reset();
          answer.body.clear();
        }
      }
    }
    if (response == nullptr && answer.file.valid()) {
      return MHD_NO;  // out of memory: drop the connection
    }
    if (response == nullptr && !answer.shared_body.empty()) {
      auto* owner = new std::shared_ptr<const void>(std::move(answer.owner));
      response = MHD_create_response_from_buffer_with_free_callback_cls(
          answer.shared_body.size(), const_cast<char*>(answer.shared_body.data()), &FreeOwner, owner);
      if (response == nullptr) delete owner;
    } else if (response == nullptr) {
      auto* body = new std::string(std::move(answer.body));
      response = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(), &FreeString, body);
      if (response == nullptr) delete body;
    }
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", answer.content_type.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
  }

  Answer Dispatch(const Request& request, Exchange* exchange, bool* needs_body) {
    *needs_body = false;
    const bool is_get = request.method == "GET" || request.method == "HEAD";
    if (is_get) {
      for (const GetRoute& route : gets) {
        if (Matches(route.path, request.path)) return route.handler(request);
      }
    } else if (request.method == "POST") {
      for (const PostRoute& route : posts) {
        if (!Matches(route.path, request.path)) continue;
        // Uploads hold connections for long: past their share the rest of the pool stays
        // for the manifest and files.
        if (!watch->TakeUploadSlot(exchange->watched)) return route.busy();
        Answer refusal;
        exchange->sink = route.handler(request, &refusal);
        *needs_body = exchange->sink != nullptr;
        return refusal;
      }
    }
    bool known = false;
    for (const GetRoute& route : gets) known = known || Matches(route.path, request.path);
    for (const PostRoute& route : posts) known = known || Matches(route.path, request.path);
    if (!known) return TextAnswer(404, "nothing here");
    Answer refused = TextAnswer(405, "that method isn't answered here");
    refused.headers.emplace_back("Allow", is_get ? "POST" : "GET, HEAD");
    return refused;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** request_context) {
    Impl* self = static_cast<Impl*>(cls);
    ConnectionWatch::Watched* watched = WatchedOf(connection);
    if (*request_context == nullptr) *request_context = new Exchange;
    auto* exchange = static_cast<Exchange*>(*request_context);
    if (!exchange->started) {
      exchange->started = true;
      exchange->watched = watched;
      const Request request = self->MakeRequest(connection, url, method);
      ConnectionWatch::HeadArrived(watched, request.method == "POST");
      if (TargetHoldsNul(*exchange, version)) {
        return Queue(connection, request, TextAnswer(400, "the request's address holds a NUL byte"));
      }
      size_t head_bytes = std::strlen(url) + std::strlen(method);
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHeader, &head_bytes);
      if (head_bytes > self->limits.header_block_bytes) {
        return Queue(connection, request, TextAnswer(431, "the request's headers are larger than 64 KiB"));
      }
      // Anything but an upload is answered on the next call: an answer queued now, before
      // the library has finished with the request, would close the connection after it.
      if (request.method != "POST") {
        const std::string length = request.Header("Content-Length");
        if ((!length.empty() && length != "0") || request.HasHeader("Transfer-Encoding")) {
          return Queue(connection, request, TextAnswer(413, "only uploads carry a body"));
        }
        return MHD_YES;
      }
      bool needs_body = false;
      Answer refusal = self->Dispatch(request, exchange, &needs_body);
      if (needs_body) return MHD_YES;
      ConnectionWatch::BodyEnded(watched);
      return Queue(connection, request, std::move(refusal));
    }
    if (*upload_data_size > 0) {
      const size_t size = *upload_data_size;
      *upload_data_size = 0;
      if (!ConnectionWatch::BodyContinues(watched)) return MHD_NO;  // cut for slowness
      if (exchange->sink == nullptr) return MHD_YES;                // a body nobody asked for
      return exchange->sink->Write(upload_data, size) ? MHD_YES : MHD_NO;
    }
    const Request request = self->MakeRequest(connection, url, method);
    if (exchange->sink != nullptr) {
      if (!ConnectionWatch::BodyEnded(watched)) return MHD_NO;
      Answer answer = exchange->sink->Finish();
      exchange->sink.reset();
      return Queue(connection, request, std::move(answer));
    }
    bool needs_body = false;
    return Queue(connection, request, self->Dispatch(request, exchange, &needs_body));
  }
};

HttpServer::HttpServer(ServeLimits limits) : impl_(std::make_unique<Impl>()) { impl_->limits = limits; }

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Get(std::string path, GetHandler handler) {
  impl_->gets.push_back(GetRoute{std::move(path), std::move(handler)});
}

void HttpServer::Post(std::string path, PostHandler handler) {
  auto busy = [] {
    Answer answer = TextAnswer(503, "too many uploads at once; try again in a minute");
    answer.headers.emplace_back("Retry-After", "60");
    return answer;
  };
  impl_->posts.push_back(PostRoute{std::move(path), std::move(handler), busy});
}

void HttpServer::WhenBusy(const std::string& path, std::function<Answer()> busy) {
  for (PostRoute& route : impl_->posts) {
    if (route.path == path) route.busy = busy;
  }
}

int HttpServer::port() const { return impl_->port; }
bool HttpServer::tls() const { return impl_->tls; }

namespace {

// Binds and listens here rather than inside the library, so port 0, IPv6 and the reason
// for a failure are all ours to report.
int Listen(const ListenAddress& address, int* port, bool* ipv6, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port_text = Decimal(static_cast<uint64_t>(address.port));
  const char* host = address.host.empty() ? nullptr : address.host.c_str();
  if (getaddrinfo(host, port_text.c_str(), &hints, &found) != 0 || found == nullptr) {
    *error = "can't listen on " + address.host + ":" + port_text + " (not an address of this machine)";
    return -1;
  }
  int fd = -1;
  for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (at->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, 1024) != 0) {
      close(fd);
      fd = -1;
      continue;
    }
    *ipv6 = at->ai_family == AF_INET6;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *error = "can't listen on " + address.host + ":" + port_text + " (in use, or not an address of this machine)";
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t bound_size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_size);
  *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

WatchLimits WatchLimitsOf(const ServeLimits& limits, bool tls) {
  WatchLimits watch;
  watch.max_connections = limits.max_connections;
  watch.per_address = limits.per_address_connections;
  watch.uploads = limits.upload_connections;
  watch.head_deadline_ms = limits.head_deadline_ms;
  watch.min_rate = limits.min_rate;
  watch.tls = tls;
  return watch;
}

}  // namespace

bool HttpServer::Start(const ListenAddress& address, std::string* error) {
  Impl& impl = *impl_;
  impl.tls = !address.tls_cert.empty();
  if (impl.tls) {
    const bool read = os::ReadWholeFile(address.tls_cert, 1048576, &impl.tls_cert) == os::kOk &&
                      os::ReadWholeFile(address.tls_key, 1048576, &impl.tls_key) == os::kOk;
    if (!read || impl.tls_cert.find("-----BEGIN") == std::string::npos ||
        impl.tls_key.find("-----BEGIN") == std::string::npos) {
      *error = address.tls_cert + " and " + address.tls_key + " aren't a PEM certificate and its private key";
      return false;
    }
  }
  bool ipv6 = false;
  const int listen_fd = Listen(address, &impl.port, &ipv6, error);
  if (listen_fd < 0) return false;

  const ServeLimits& limits = impl.limits;
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(HardCap(limits.max_connections)), nullptr},
      // The head must fit with room to spare: past the cap the access handler answers 431 itself.
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.header_block_bytes + 32768), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits.idle_seconds), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::OnConnection), &impl},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::OnCompleted), &impl},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::OnTarget), &impl},
  };
  if (limits.threads > 1)
    options.push_back({MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(limits.threads), nullptr});
  if (impl.tls) {
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, impl.tls_cert.data()});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, impl.tls_key.data()});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
  if (ipv6) flags |= MHD_USE_IPv6;
  if (impl.tls) flags |= MHD_USE_TLS;
  // The cap per address is the watch's, through the accept policy: the library's own counts
  // each IPv6 address apart, and one host owns a whole /64.
  impl.watch = std::make_unique<ConnectionWatch>(WatchLimitsOf(limits, impl.tls));
  impl.daemon = MHD_start_daemon(flags, 0, &Impl::OnAccept, &impl, &Impl::OnRequest, &impl, MHD_OPTION_ARRAY,
                                 options.data(), MHD_OPTION_END);
  if (impl.daemon == nullptr) {
    close(listen_fd);
    *error = impl.tls ? address.tls_cert + " and " + address.tls_key + " aren't a PEM certificate and its private key"
                      : "the HTTP server didn't start";
    return false;
  }
  impl.watch->Start(listen_fd);
  return true;
}

void HttpServer::Stop() {
  Impl& impl = *impl_;
  if (impl.daemon != nullptr) {
    // The watch stops first (it polls the listening socket the library closes) but lives on
    // for the close notifications; every connection is shut so none holds the stop.
    impl.watch->Stop();
    impl.watch->ShutAll();
    MHD_stop_daemon(impl.daemon);  // closes the listening socket too
    impl.daemon = nullptr;
  }
}

}  // namespace vantrel::site
