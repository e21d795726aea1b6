#pragma once
// Tells the operator's chat when something new breaks: a JSON POST {"content": "..."} to
// realm.json's report_webhook, sent by libcurl from a queue of its own thread (never in an
// upload's path), 10 s at most each; a failure is logged and dropped, never retried.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "realm-site/console_model.h"

namespace vantrel::site {

inline constexpr size_t kMaxQueuedMessages = 64;

// The message for an alert: plain text, the signature kept from breaking out of its quotes.
std::string AlertMessage(const Alert& alert, const std::string& realm, const std::string& site);
// {"content": message}
std::string WebhookBody(const std::string& message);

class Webhook {
 public:
  // An empty `url` turns it off.
  explicit Webhook(std::string url);
  ~Webhook();
  Webhook(const Webhook&) = delete;
  Webhook& operator=(const Webhook&) = delete;
  bool on() const { return !url_.empty(); }
  // Queues a message; past kMaxQueuedMessages waiting, it is dropped with a log line.
  void Post(std::string message);

 private:
  void Run();
  std::string url_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vantrel::site
