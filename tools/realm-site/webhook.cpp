#include "realm-site/webhook.h"

#include <curl/curl.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "support/text.h"

namespace vantrel::site {
namespace {

// A signature comes from what a player uploaded: no quotes to break out of, no mentions,
// no line breaks, no markup a chat would render.
std::string Tamed(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) {
    const bool plain = c >= 0x20 && c < 0x7F && c != '`' && c != '@' && c != '<' && c != '>' && c != '*' && c != '_' &&
                       c != '~' && c != '|' && c != '[' && c != ']';
    out.push_back(plain ? c : '?');
  }
  return out;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

std::string AlertMessage(const Alert& alert, const std::string& realm, const std::string& site) {
  std::string base = site;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string where = realm.empty() ? std::string() : " on " + Tamed(realm);
  const std::string link = base + "/reports/group/" + alert.group;
  if (alert.first_seen) return "New crash" + where + ": `" + Tamed(alert.signature) + "` " + link;
  return "Crashes rising" + where + ": `" + Tamed(alert.signature) + "`, " + Decimal(alert.last_hour) +
         " in the last hour " + link;
}

std::string WebhookBody(const std::string& message) {
  return nlohmann::json{{"content", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Webhook::Webhook(std::string url) : url_(std::move(url)) {
  if (on()) thread_ = std::thread([this] { Run(); });
}

Webhook::~Webhook() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Webhook::Post(std::string message) {
  if (!on()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (queue_.size() >= kMaxQueuedMessages) {
      std::cerr << "realm-site: the report webhook is behind; a message was dropped" << std::endl;
      return;
    }
    queue_.push_back(std::move(message));
  }
  wake_.notify_one();
}

void Webhook::Run() {
  while (true) {
    std::string message;
    {
      std::unique_lock<std::mutex> guard(mutex_);
      wake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      message = std::move(queue_.front());
      queue_.pop_front();
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) continue;
    const std::string body = WebhookBody(message);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) {
      std::cerr << "realm-site: the report webhook failed: " << curl_easy_strerror(result) << std::endl;
    } else if (status < 200 || status > 299) {
      std::cerr << "realm-site: the report webhook answered " << status << std::endl;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
}

}  // namespace vantrel::site
