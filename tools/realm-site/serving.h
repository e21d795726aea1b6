#pragma once
// The HTTP layer of realm-site, made for the open internet: memory bounded by these limits and
// never by what a client sends, a deadline on every request head, a minimum rate for bodies and
// answers (connection_watch.h), bodies refused from their
// declared length, files sent from disk with sendfile, Range answered only when it can be
// answered right, and "X-Content-Type-Options: nosniff" on every answer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "realm-site/connection_watch.h"

namespace vantrel::site {

struct ListenAddress {
  std::string host;
  int port = 0;  // 0: any free port (printed at start)
  // HTTPS when both are given: PEM certificate (chain) and private key files.
  std::string tls_cert;
  std::string tls_key;
};

bool ParseListen(std::string_view text, ListenAddress* address, std::string* error);

struct ServeLimits {
  unsigned threads = 4;                   // event loops, each with its own epoll
  unsigned max_connections = 512;         // full, a newcomer replaces a stalled connection
  unsigned per_address_connections = 32;  // an IPv6 client's whole /64 counts as one address
  unsigned upload_connections = 64;       // uploads in progress at once; the rest is for downloads
  unsigned head_deadline_ms = 10000;      // from accept, or the end of the last answer, to a whole head
  unsigned idle_seconds = 60;             // nothing moved either way
  MinRate min_rate;                       // for request bodies and for answers
  size_t header_block_bytes = 65536;      // answered 431 past it
  // Behind a reverse proxy on this machine: take the client's address from its X-Real-IP.
  bool trust_proxy = false;
};

// A file descriptor closed on every path out.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  void Reset();

 private:
  int fd_ = -1;
};

struct Answer {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  // A body shared with a longer-lived owner (the manifest of a catalog snapshot) instead of
  // `body`: sent without a copy while `owner` keeps it alive.
  std::shared_ptr<const void> owner;
  std::string_view shared_body;
  std::vector<std::pair<std::string, std::string>> headers;
  // When valid, the answer is this file from disk and Range applies to it.
  UniqueFd file;
  uint64_t file_size = 0;
  std::string etag;  // strong, quoted; If-Range compares with it
};

// A short plain-text answer (a newline is added).
Answer TextAnswer(int status, std::string_view text);

class Request {
 public:
  std::string method;
  std::string path;     // percent-decoded, without the query
  std::string peer;     // the client's address
  std::string network;  // what per-address limits count: AddressGroup(peer)
  // A request header (names compare without regard to case); empty when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // A query parameter, percent-decoded ("+" as a blank); empty when absent.
  std::string Query(std::string_view name) const;

  const void* connection = nullptr;  // the HTTP layer's own
};

// Receives an accepted request body as it arrives; nothing of it is held by the HTTP layer.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // False stops the upload and closes the connection without an answer.
  virtual bool Write(const char* data, size_t size) = 0;
  virtual Answer Finish() = 0;
};

// Checks a request's head before its body is read: 415 for any Content-Encoding but identity,
// 400 for a Content-Length that isn't a number, 413 for one past `max_body`; 0 when the body
// may be read. `declared` is the Content-Length, or UINT64_MAX for a chunked body, which the
// sink must stop itself at the cap.
int CheckBodyHead(const Request& request, uint64_t max_body, uint64_t* declared);

using GetHandler = std::function<Answer(const Request&)>;
// Returns the sink for the body, or null after filling `refusal`, which is then answered
// before a byte of the body is read.
using PostHandler = std::function<std::unique_ptr<BodySink>(const Request&, Answer* refusal)>;

class HttpServer {
 public:
  explicit HttpServer(ServeLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // A path ending in "/" takes every path under it. Register before Start.
  void Get(std::string path, GetHandler handler);
  void Post(std::string path, PostHandler handler);
  // What a POST to `path` (registered before) is answered past the uploads' share of the
  // connections, instead of a plain 503.
  void WhenBusy(const std::string& path, std::function<Answer()> busy);
  // Binds, listens and starts the event loops; port() then tells the port.
  bool Start(const ListenAddress& address, std::string* error);
  int port() const;
  bool tls() const;
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What a Range header asks of a file of `size` bytes. One satisfiable range: kPartial with
// `first` and `length`. Several ranges, another unit or a malformed header: kWhole (ignoring
// Range is always allowed). One range past the end: kUnsatisfiable.
enum class RangeVerdict { kWhole, kPartial, kUnsatisfiable };
RangeVerdict EvaluateRange(std::string_view header, uint64_t size, uint64_t* first, uint64_t* length);

}  // namespace vantrel::site
