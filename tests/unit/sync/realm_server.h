#pragma once
// A realm site on 127.0.0.1 for the update-run tests: serves a manifest, game files and a
// launcher build that each test sets, and counts what was asked for.
#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::testing {

class RealmServer {
 public:
  RealmServer() {
    server_.Get("/api/launcher/manifest", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++manifest_requests_;
      response.status = manifest_status_;
      response.set_content(manifest_, "application/json");
    });
    server_.Get("/api/launcher/manifest.minisig", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++signature_requests_;
      ServeOrNotFound(signature_, "text/plain", response);
    });
    server_.Get(R"(/api/launcher/file/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(mutex_);
      const std::string path = request.matches[1];
      ++file_requests_[path];
      ranges_[path].push_back(request.get_header_value("Range"));
      const auto found = files_.find(path);
      if (found == files_.end()) {
        response.status = 404;
        return;
      }
      response.set_content(found->second, "application/octet-stream");
    });
    server_.Get("/launcher/download", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++launcher_requests_;
      ServeOrNotFound(launcher_, "application/octet-stream", response);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    // The socket listens from the bind on, so requests queue until the loop below accepts them.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping a server whose loop hasn't started yet leaves the loop running for good.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~RealmServer() {
    server_.stop();
    thread_.join();
  }
  RealmServer(const RealmServer&) = delete;
  RealmServer& operator=(const RealmServer&) = delete;

  std::string Address() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void SetManifest(std::string body, int status = 200) {
    std::lock_guard<std::mutex> guard(mutex_);
    manifest_ = std::move(body);
    manifest_status_ = status;
  }
  // The manifest's signature file; empty answers 404.
  void SetSignature(std::string text) {
    std::lock_guard<std::mutex> guard(mutex_);
    signature_ = std::move(text);
  }
  // What the site sends for a manifest path (it may differ from what the manifest promises).
  void SetFile(const std::string& path, std::string content) {
    std::lock_guard<std::mutex> guard(mutex_);
    files_[path] = std::move(content);
  }
  void RemoveFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    files_.erase(path);
  }
  void SetLauncher(std::string content) {
    std::lock_guard<std::mutex> guard(mutex_);
    launcher_ = std::move(content);
  }

  int ManifestRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return manifest_requests_;
  }
  int FileRequests(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = file_requests_.find(path);
    return found == file_requests_.end() ? 0 : found->second;
  }
  // The Range header of every request for a file, "" for none.
  std::vector<std::string> Ranges(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return ranges_[path];
  }
  int SignatureRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return signature_requests_;
  }
  int LauncherRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return launcher_requests_;
  }

 private:
  // What a test hasn't set is not there.
  static void ServeOrNotFound(const std::string& body, const char* type, httplib::Response& response) {
    if (body.empty()) {
      response.status = 404;
    } else {
      response.set_content(body, type);
    }
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::string manifest_;
  int manifest_status_ = 200;
  std::string signature_;
  int signature_requests_ = 0;
  std::map<std::string, std::string> files_;
  std::string launcher_;
  int manifest_requests_ = 0;
  std::map<std::string, int> file_requests_;
  std::map<std::string, std::vector<std::string>> ranges_;
  int launcher_requests_ = 0;
};

}  // namespace vantrel::testing
