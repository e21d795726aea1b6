#include "report/upload.h"

#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "launcher/jobs.h"
#include "launcher/worker.h"
#include "report/zip.h"
#include "support/text.h"

namespace vantrel {

std::string AccountHeaderValue(std::string_view account) {
  std::string value;
  for (char c : account) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u <= 0x7E) value.push_back(c);
  }
  return value;
}

std::string NoteHeaderValue(std::string_view note) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string value;
  value.reserve(note.size() * 3);
  for (char c : note) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (IsAsciiAlnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      value.push_back(c);
    } else {
      value.push_back('%');
      value.push_back(kHex[u >> 4]);
      value.push_back(kHex[u & 0x0F]);
    }
  }
  return value;
}

std::string UploadHeaders(std::string_view account, std::string_view note) {
  std::string note_value;
  try {
    note_value = NoteHeaderValue(note);
  } catch (const std::bad_alloc&) {
    note_value.clear();  // the report matters more than the note
  }
  std::string headers = "Content-Type: application/octet-stream\r\nX-Account: ";
  headers.append(AccountHeaderValue(account)).append("\r\nX-Note: ").append(note_value).append("\r\n");
  return headers;
}

namespace {

// Reads the answer's three members at the top level and skips everything nested.
class AnswerReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit AnswerReader(UploadAnswer* answer) : answer_(answer) {}

  bool null() override { return Scalar(Kind::kOther); }
  bool boolean(bool value) override {
    if (depth_ == 1 && member_ == Member::kOk) answer_->ok = value;
    return Scalar(Kind::kBoolean);
  }
  bool number_integer(number_integer_t) override { return Scalar(Kind::kOther); }
  bool number_unsigned(number_unsigned_t) override { return Scalar(Kind::kOther); }
  bool number_float(number_float_t, const string_t&) override { return Scalar(Kind::kOther); }
  bool string(string_t& value) override {
    if (depth_ == 1 && member_ == Member::kUrl) answer_->url = std::move(value);
    if (depth_ == 1 && member_ == Member::kError) answer_->error = std::move(value);
    return Scalar(Kind::kString);
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    if (depth_ == 0) {
      if (seen_root_) return false;
      seen_root_ = true;
    } else if (!Scalar(Kind::kOther)) {
      return false;
    }
    ++depth_;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ != 1) return true;
    member_ = Member::kUnknown;
    if (name == "ok") member_ = Member::kOk;
    if (name == "url") member_ = Member::kUrl;
    if (name == "error") member_ = Member::kError;
    if (member_ == Member::kUnknown) return true;
    const unsigned bit = 1u << static_cast<unsigned>(member_);
    if (seen_members_ & bit) return false;  // a repeated key makes the answer ambiguous
    seen_members_ |= bit;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return false;
    if (!Scalar(Kind::kOther)) return false;
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  bool complete() const { return seen_root_ && depth_ == 0; }

 private:
  enum class Kind { kBoolean, kString, kOther };
  enum class Member : unsigned { kOk = 0, kUrl = 1, kError = 2, kUnknown = 3 };

  // A value begins: at the top level only an object is acceptable; as a member of the
  // answer it must have the type its key asks for.
  bool Scalar(Kind kind) {
    if (depth_ == 0) return false;
    if (depth_ != 1) return true;
    switch (member_) {
      case Member::kOk: return kind == Kind::kBoolean;
      case Member::kUrl:
      case Member::kError: return kind == Kind::kString;
      case Member::kUnknown: return true;
    }
    return true;
  }

  UploadAnswer* answer_;
  int depth_ = 0;
  bool seen_root_ = false;
  unsigned seen_members_ = 0;
  Member member_ = Member::kUnknown;
};

}  // namespace

bool ParseUploadAnswer(std::string_view body, UploadAnswer* answer) {
  *answer = UploadAnswer();
  AnswerReader reader(answer);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &reader, nlohmann::json::input_format_t::json, true);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed || !reader.complete()) {
    *answer = UploadAnswer();
    return false;
  }
  return true;
}

UploadOutcome JudgeUploadAnswer(const FetchResult& fetched) {
  UploadOutcome outcome;
  if (fetched.error != HttpError::kNone) {
    outcome.headline = "The logs didn't send";
    outcome.detail = RequestFailureReason(fetched.error);
    return outcome;
  }
  UploadAnswer answer;
  if (!ParseUploadAnswer(fetched.body, &answer)) {
    outcome.headline = "The site's answer didn't make sense";
    return outcome;
  }
  if (fetched.status != 200 || answer.url.empty()) {
    outcome.headline = "The site didn't keep the logs";
    outcome.detail = answer.error.substr(0, kFixedTextCapacity);
    return outcome;
  }
  outcome.headline = "Sent";
  outcome.sent = true;
  outcome.link = answer.url.substr(0, kFixedTextCapacity);
  return outcome;
}

void RunUpload(WorkerContext& context) {
  LauncherState& state = *context.state;
  StatusNotice(context, "Packing the logs", "", -1.0f);
  const ReportEntry* entries = nullptr;
  uint32_t count = 0;
  bool include_crash_dumps = true;
  {
    os::LockGuard guard(state.lock);
    entries = state.report_entries;
    count = state.report_entry_count;
    include_crash_dumps = state.include_crash_dumps;
  }
  std::string archive;
  if (!PackReport(entries, count, include_crash_dumps, &archive)) {
    FinishNotice(context, "The logs couldn't be packed", "", ReadReady(state));
    return;
  }
  StatusNotice(context, "Sending the logs", SizeText(archive.size()), -1.0f);

  std::string headers;
  std::string address;
  try {
    headers = UploadHeaders(context.account.View(), context.note.View());
    address = context.realm_address + "/api/launcher/logs";
  } catch (const std::bad_alloc&) {
    FinishNotice(context, "The logs didn't send", RequestFailureReason(HttpError::kOutOfMemory), ReadReady(state));
    return;
  }
  SessionPtr session;
  if (OpenSession(&session) != HttpError::kNone || !session) {
    FinishNotice(context, "Windows' web client didn't start", "", ReadReady(state));
    return;
  }
  UploadOutcome outcome;
  {
    FetchResult fetched = Fetch(*session, "POST", address, headers, archive, kUploadAnswerLimit);
    session.reset();
    std::string().swap(archive);
    outcome = JudgeUploadAnswer(fetched);
  }
  if (outcome.sent) {
    {
      os::LockGuard guard(state.lock);
      state.report_link.Set(outcome.link);
      state.page = Page::kSent;
      state.report_entries = nullptr;
      state.report_entry_count = 0;
    }
    context.report_arena.reset();
  }
  FinishNotice(context, outcome.headline, outcome.detail, ReadReady(state));
}

}  // namespace vantrel
