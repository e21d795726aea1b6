#include "realm-site/server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "realm-site/gateway_reg.h"

namespace vantrel::site {
namespace {

// A file the catalog lists, sent from disk. One that no longer has the size and time that
// were hashed may not match the manifest's hash any more: it is refused and the catalog
// rescanned, rather than sent as bytes every launcher would reject.
Answer CatalogFile(Site& site, const FileRecord& record) {
  UniqueFd fd(open(record.disk_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat facts {};
  if (!fd.valid() || fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode) ||
      static_cast<uint64_t>(facts.st_size) != record.size ||
      static_cast<int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec != record.mtime_ns) {
    site.RequestRescan();
    Answer busy = TextAnswer(503, "this file is being replaced on the realm; try again in a few seconds");
    busy.headers.emplace_back("Retry-After", "5");
    return busy;
  }
  Answer answer;
  answer.content_type = "application/octet-stream";
  answer.file = std::move(fd);
  answer.file_size = record.size;
  answer.etag = "\"" + record.sha256 + "\"";
  return answer;
}

}  // namespace

void AddRealmRoutes(HttpServer& server, Site& site, Reports& reports) {
  for (const SnapshotAnswer& snapshot : kSnapshotAnswers) {
    server.Get(snapshot.path, [&site, snapshot](const Request&) {
      std::shared_ptr<const Catalog> catalog = site.Current();
      if (catalog == nullptr) return TextAnswer(503, "the realm's files aren't listed yet");
      if (((*catalog).*(snapshot.text)).empty()) return TextAnswer(404, "this realm doesn't sign its file list");
      Answer answer;
      answer.content_type = snapshot.content_type;
      answer.shared_body = (*catalog).*(snapshot.text);
      answer.owner = catalog;
      answer.headers.emplace_back("Cache-Control", "no-cache");
      return answer;
    });
  }

  server.Get("/api/launcher/file/", [&site](const Request& request) {
    std::shared_ptr<const Catalog> catalog = site.Current();
    // Only what the manifest lists is served, so no request can reach outside files/.
    const FileRecord* record = catalog ? catalog->Find(std::string_view(request.path).substr(19)) : nullptr;
    if (record == nullptr) return TextAnswer(404, "no such file in this realm");
    return CatalogFile(site, *record);
  });

  // Block maps are named by the hash of the file they describe, so a map never changes.
  server.Get("/api/launcher/blockmap/", [&site](const Request& request) {
    std::shared_ptr<const Catalog> catalog = site.Current();
    const std::string* map = catalog ? catalog->FindBlockmap(std::string_view(request.path).substr(23)) : nullptr;
    if (map == nullptr) return TextAnswer(404, "no block map for that file in this realm");
    Answer answer;
    answer.content_type = "application/octet-stream";
    answer.shared_body = *map;
    answer.owner = catalog;
    return answer;
  });

  server.Get("/launcher/download", [&site](const Request&) {
    std::shared_ptr<const Catalog> catalog = site.Current();
    if (!catalog || !catalog->launcher) return TextAnswer(404, "this realm offers no launcher build");
    Answer answer = CatalogFile(site, *catalog->launcher);
    answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"VantrelLauncher.exe\"");
    return answer;
  });

  server.Get("/client-pack/gateway.reg", [gateway_reg = GatewayRegFile(site.config())](const Request&) {
    Answer answer;
    answer.content_type = "application/octet-stream";
    answer.body = gateway_reg;
    answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"gateway.reg\"");
    return answer;
  });

  reports.AddRoutes(server);
}

int Serve(Site& site, const ListenAddress& address, const ServeLimits& limits, std::ostream& out, std::ostream& err) {
  Reports reports(site.root(), site.config());
  std::string error;
  if (!reports.Open(&error)) {
    err << "realm-site: " << error << std::endl;
    return 1;
  }
  // Signals are taken by this thread with sigwait, so stopping never runs inside a handler.
  // The mask is set before the server's threads exist, so they inherit it.
  sigset_t stop_signals;
  sigset_t previous;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  signal(SIGPIPE, SIG_IGN);

  reports.tls = !address.tls_cert.empty();
  HttpServer server(limits);
  AddRealmRoutes(server, site, reports);
  if (!server.Start(address, &error)) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    err << "realm-site: " << error << std::endl;
    return 1;
  }
  site.StartWatching(err);
  const std::string shown_host = address.host.find(':') == std::string::npos ? address.host : "[" + address.host + "]";
  out << "realm-site: serving " << site.root() << " at " << (server.tls() ? "https://" : "http://") << shown_host << ":"
      << server.port() << std::endl;

  int received = 0;
  sigwait(&stop_signals, &received);
  site.StopWatching();
  server.Stop();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return 0;
}

}  // namespace vantrel::site
