#pragma once
// A realm site on 127.0.0.1 for the update-run tests: serves a manifest, game files and a
// launcher build that each test sets, and counts what was asked for.
#include <httplib.h>

#include <chrono>
#include <cstdio>
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
      AnswerFile(request, found->second, response);
    });
    server_.Get(R"(/api/launcher/blockmap/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++blockmap_requests_;
      const auto found = blockmaps_.find(request.matches[1]);
      ServeOrNotFound(found == blockmaps_.end() ? std::string() : found->second, "application/octet-stream", response);
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
  // The block map served for a file's hash text.
  void SetBlockmap(const std::string& sha256, std::string map) {
    std::lock_guard<std::mutex> guard(mutex_);
    blockmaps_[sha256] = std::move(map);
  }
  // How the `at`-th request for a range of a game file (from 0) is answered; the others rightly.
  enum class RangeMode { kRight, kIgnore, kNotSatisfiable, kWrongRange, kShortBody, kOtherBytes };
  void SetRangeMode(RangeMode mode, int at = 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    range_mode_ = mode;
    ranges_before_fault_ = at;
  }
  uint64_t BodyBytesSent() {
    std::lock_guard<std::mutex> guard(mutex_);
    return body_bytes_;
  }
  int BlockmapRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return blockmap_requests_;
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

  // A whole file, or one range of it, the way the range mode says. httplib would cut a body to
  // the asked range by itself; a misbehaving answer is built by hand instead.
  void AnswerFile(const httplib::Request& request, const std::string& content, httplib::Response& response) {
    const std::string range = request.get_header_value("Range");
    uint64_t first = 0, last = content.size() - 1;
    const int fields = std::sscanf(range.c_str(), "bytes=%lu-%lu", &first, &last);
    const bool one_range = (fields == 2 || (fields == 1 && range.back() == '-')) &&
                           range.find(',') == std::string::npos && first <= last && last < content.size();
    const RangeMode mode = one_range && ranges_before_fault_-- == 0 ? range_mode_ : RangeMode::kRight;
    if (!one_range || mode == RangeMode::kRight) {
      body_bytes_ += one_range ? last - first + 1 : range.empty() ? content.size() : 0;
      response.set_content(content, "application/octet-stream");
      return;
    }
    const_cast<httplib::Request&>(request).ranges.clear();
    std::string part = content.substr(first, last - first + 1);
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                             std::to_string(content.size()));
    switch (mode) {
      case RangeMode::kRight: break;
      case RangeMode::kIgnore:
        response.status = 200;
        response.headers.erase("Content-Range");
        part = content;
        break;
      case RangeMode::kNotSatisfiable:
        response.status = 416;
        part.clear();
        break;
      case RangeMode::kWrongRange:
        response.set_header("Content-Range", "bytes " + std::to_string(first + 1) + "-" + std::to_string(last + 1) +
                                                 "/" + std::to_string(content.size()));
        break;
      case RangeMode::kOtherBytes: part[part.size() / 2] ^= 1; break;
      case RangeMode::kShortBody:
        response.set_content_provider(part.size(), "application/octet-stream",
                                      [part](size_t, size_t, httplib::DataSink& sink) {
                                        sink.write(part.data(), part.size() / 2);
                                        return false;  // the connection is cut mid-body
                                      });
        body_bytes_ += part.size() / 2;
        return;
    }
    body_bytes_ += part.size();
    response.set_content(part, "application/octet-stream");
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
  std::map<std::string, std::string> blockmaps_;
  int blockmap_requests_ = 0;
  RangeMode range_mode_ = RangeMode::kRight;
  int ranges_before_fault_ = 0;
  uint64_t body_bytes_ = 0;
};

}  // namespace vantrel::testing
