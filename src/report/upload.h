#pragma once
// Packing and sending a gathered report (RunUpload, launcher/jobs.h): the header values, the
// reading of the site's answer and the outcome texts are pure and tested on their own.
#include <cstdint>
#include <string>
#include <string_view>

#include "realm/http_client.h"

namespace vantrel {

inline constexpr size_t kUploadAnswerLimit = 65536;

// The account as typed, with every byte outside 0x20..0x7E dropped.
std::string AccountHeaderValue(std::string_view account);
// The note percent-encoded byte by byte; only letters, digits and "-._~" stay.
std::string NoteHeaderValue(std::string_view note);
// The three extra request headers, each ended by CRLF.
std::string UploadHeaders(std::string_view account, std::string_view note);

struct UploadAnswer {
  bool ok = false;
  std::string url;
  std::string error;
};

// Exactly one JSON object; "ok" boolean, "url" and "error" strings, none of them twice;
// other members skipped. False when the answer is anything else.
bool ParseUploadAnswer(std::string_view body, UploadAnswer* answer);

struct UploadOutcome {
  std::string headline;
  std::string detail;
  bool sent = false;
  std::string link;  // when sent
};

// What the player is told after a fetch, from its error, status and body.
UploadOutcome JudgeUploadAnswer(const FetchResult& fetched);

}  // namespace vantrel
