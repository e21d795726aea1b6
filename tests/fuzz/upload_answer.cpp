// Any answer a site might send to an upload: reading it must never crash, what it accepts must
// be JSON, and the outcome's texts stay within what the status line can hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "report/upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  vantrel::UploadAnswer answer;
  const bool accepted = vantrel::ParseUploadAnswer(body, &answer);
  if (accepted) {
    if (!nlohmann::json::accept(body)) std::abort();
    const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (!document.is_object()) std::abort();
    if (document.contains("url") && document["url"].get<std::string>() != answer.url) std::abort();
  } else if (!answer.url.empty() || !answer.error.empty()) {
    std::abort();
  }
  vantrel::FetchResult fetched;
  fetched.status = 200;
  fetched.body = std::string(body);
  const vantrel::UploadOutcome outcome = vantrel::JudgeUploadAnswer(fetched);
  if (outcome.sent != (accepted && !answer.url.empty())) std::abort();
  if (outcome.link.size() > 600 || outcome.detail.size() > 600) std::abort();
  return 0;
}
