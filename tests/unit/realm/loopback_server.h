#pragma once
// A real HTTP server on 127.0.0.1 and a free port, run in a thread for the length of a test
// suite; it counts the requests that reach it so tests can tell "no traffic" for sure.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace vantrel::testing {

class LoopbackServer {
 public:
  LoopbackServer() {
    server_.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
      ++requests_;
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }
  ~LoopbackServer() { Stop(); }

  httplib::Server& server() { return server_; }

  // Binds and serves; routes must be set first.
  void Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping a server whose loop hasn't started yet leaves the loop running for good.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  void Stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int port() const { return port_; }
  int requests() const { return requests_.load(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> requests_{0};
};

// A fresh folder removed with its content.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-realm-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vantrel::testing
