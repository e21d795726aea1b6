#include "realm-site/server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <thread>

#include "realm-site/gateway_reg.h"
#include "realm-site/logs.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr size_t kChunkBytes = 262144;

// Streams a file from disk in chunks; a 1 GiB game file never sits in memory whole.
void StreamFile(const std::string& disk_path, httplib::Response& response) {
  const int fd = open(disk_path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat facts {};
  if (fd < 0 || fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
    if (fd >= 0) close(fd);
    response.status = 404;
    return;
  }
  auto buffer = std::make_shared<std::vector<char>>(kChunkBytes);
  response.set_content_provider(
      static_cast<size_t>(facts.st_size), "application/octet-stream",
      [fd, buffer](size_t offset, size_t length, httplib::DataSink& sink) {
        const size_t want = length < buffer->size() ? length : buffer->size();
        const ssize_t got = pread(fd, buffer->data(), want, static_cast<off_t>(offset));
        // A file cut short while being sent: end the connection rather than pad it.
        if (got <= 0) return false;
        return sink.write(buffer->data(), static_cast<size_t>(got));
      },
      [fd](bool) { close(fd); });
}

void Refuse(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

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

void ConfigureRoutes(httplib::Server& server, Site& site) {
  server.Get("/api/launcher/manifest", [&site](const httplib::Request&, httplib::Response& response) {
    std::string error;
    // A stat of every file per request is cheap; only new or changed files are hashed.
    if (!site.Refresh(&error)) {
      std::cerr << "realm-site: " << error << std::endl;
      if (site.Current() == nullptr) return Refuse(response, 500, "the realm's files can't be listed");
    }
    response.set_content(site.Current()->manifest, "application/json");
  });

  server.Get(R"(/api/launcher/file/(.+))", [&site](const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<const Catalog> catalog = site.Current();
    // Only what the manifest lists is served, so no request can reach outside files/.
    const FileRecord* record = catalog ? catalog->Find(request.matches[1].str()) : nullptr;
    if (record == nullptr) return Refuse(response, 404, "no such file in this realm");
    StreamFile(record->disk_path, response);
  });

  server.Get("/launcher/download", [&site](const httplib::Request&, httplib::Response& response) {
    std::shared_ptr<const Catalog> catalog = site.Current();
    if (!catalog || !catalog->launcher) return Refuse(response, 404, "this realm offers no launcher build");
    StreamFile(catalog->launcher->disk_path, response);
  });

  const std::string gateway_reg = GatewayRegFile(site.config());
  server.Get("/client-pack/gateway.reg", [gateway_reg](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Disposition", "attachment; filename=\"gateway.reg\"");
    response.set_content(gateway_reg, "application/octet-stream");
  });

  ConfigureLogRoutes(server, site);
}

int Serve(Site& site, const ListenAddress& address, std::ostream& out, std::ostream& err) {
  std::unique_ptr<httplib::Server> tls_or_plain;
  const bool tls = !address.tls_cert.empty();
  if (tls) {
    tls_or_plain = std::make_unique<httplib::SSLServer>(address.tls_cert.c_str(), address.tls_key.c_str());
    if (!tls_or_plain->is_valid()) {
      err << "realm-site: " << address.tls_cert << " and " << address.tls_key
          << " aren't a PEM certificate and its private key" << std::endl;
      return 1;
    }
  } else {
    tls_or_plain = std::make_unique<httplib::Server>();
  }
  httplib::Server& server = *tls_or_plain;
  ConfigureRoutes(server, site);
  int port = address.port;
  if (port == 0) {
    port = server.bind_to_any_port(address.host);
  } else if (!server.bind_to_port(address.host, port)) {
    port = -1;
  }
  if (port < 0) {
    err << "realm-site: can't listen on " << address.host << ":" << address.port
        << " (in use, or not an address of this machine)" << std::endl;
    return 1;
  }
  const std::string shown_host = address.host.find(':') == std::string::npos ? address.host : "[" + address.host + "]";
  out << "realm-site: serving " << site.root() << " at " << (tls ? "https://" : "http://") << shown_host << ":" << port
      << std::endl;

  // Signals are taken by one thread with sigwait, so stopping never runs inside a handler. The
  // mask is set before the listener's worker threads exist, so they inherit it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::thread stopper([&server, stop_signals] {
    int received = 0;
    sigwait(&stop_signals, &received);
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  // The listener ended on its own: wake the stopper so it can be joined.
  if (!listened) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return listened ? 0 : 1;
}

}  // namespace vantrel::site
