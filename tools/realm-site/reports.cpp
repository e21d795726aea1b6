#include "realm-site/reports.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "realm-site/console_pages.h"
#include "realm-site/console_routes.h"
#include "realm-site/report_facts.h"
#include "realm-site/report_index.h"
#include "realm-site/webhook.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;
namespace {

constexpr size_t kMaxDirectoryBytes = 16777216;  // far more than 65,535 names need
constexpr size_t kListedEntries = 2000;          // a report page names at most this many files
constexpr uint64_t kInlineBytes = 8388608;       // text shown inline on one report page

uint16_t U16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}
uint32_t U32(std::string_view s, size_t at) { return U16(s, at) | (static_cast<uint32_t>(U16(s, at + 2)) << 16); }

// Where the zip reader gets its bytes: memory or a file read in place.
class ZipBytes {
 public:
  virtual ~ZipBytes() = default;
  virtual uint64_t size() const = 0;
  virtual bool Read(uint64_t at, size_t count, std::string* out) const = 0;
};

class MemoryBytes : public ZipBytes {
 public:
  explicit MemoryBytes(std::string_view bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t at, size_t count, std::string* out) const override {
    if (at > bytes_.size() || count > bytes_.size() - at) return false;
    out->assign(bytes_.substr(at, count));
    return true;
  }

 private:
  std::string_view bytes_;
};

class FileBytes : public ZipBytes {
 public:
  FileBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  bool Read(uint64_t at, size_t count, std::string* out) const override {
    if (at > size_ || count > size_ - at) return false;
    out->resize(count);
    size_t got = 0;
    while (got < count) {
      const ssize_t n = pread(fd_, out->data() + got, count - got, static_cast<off_t>(at + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

bool ReadDirectory(const ZipBytes& bytes, std::vector<ZipEntryInfo>* entries) {
  entries->clear();
  const uint64_t size = bytes.size();
  if (size < 22) return false;
  // The end record sits at the end, after a comment of at most 65535 bytes.
  const uint64_t tail_size = size < 22 + 65535 ? size : 22 + 65535;
  std::string tail;
  if (!bytes.Read(size - tail_size, static_cast<size_t>(tail_size), &tail)) return false;
  size_t found = std::string::npos;
  for (size_t at = tail.size() - 22 + 1; at-- > 0;) {
    if (U32(tail, at) == 0x06054B50 && at + 22 + U16(tail, at + 20) == tail.size()) {
      found = at;
      break;
    }
  }
  if (found == std::string::npos) return false;
  const uint64_t end = size - tail_size + found;
  const uint16_t count = U16(tail, found + 10);
  const uint64_t directory_size = U32(tail, found + 12);
  const uint64_t directory_offset = U32(tail, found + 16);
  if (U16(tail, found + 8) != count || directory_offset + directory_size > end || directory_size > kMaxDirectoryBytes) {
    return false;
  }
  std::string directory;
  if (!bytes.Read(directory_offset, static_cast<size_t>(directory_size), &directory)) return false;
  size_t at = 0;
  std::string local_header;
  for (uint16_t i = 0; i < count; ++i) {
    if (at + 46 > directory.size() || U32(directory, at) != 0x02014B50) return false;
    ZipEntryInfo entry;
    entry.method = U16(directory, at + 10);
    entry.stored_size = U32(directory, at + 20);
    entry.size = U32(directory, at + 24);
    const size_t name_size = U16(directory, at + 28);
    const size_t record_size = 46 + name_size + U16(directory, at + 30) + U16(directory, at + 32);
    const uint64_t local = U32(directory, at + 42);
    if (at + record_size > directory.size()) return false;
    if (local + 30 > directory_offset || !bytes.Read(local, 30, &local_header) || U32(local_header, 0) != 0x04034B50) {
      return false;
    }
    const uint64_t data_end = local + 30 + U16(local_header, 26) + U16(local_header, 28) + entry.stored_size;
    if (data_end > directory_offset) return false;
    entry.name = directory.substr(at + 46, name_size);
    entries->push_back(std::move(entry));
    at += record_size;
  }
  return at == directory.size();
}

// Compares without an early exit, so the token can't be guessed byte by byte from timing.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The launcher reads this shape whatever the status: {"ok", "url", "error"}.
Answer UploadAnswer(int status, std::string_view url, std::string_view error) {
  const nlohmann::json body = {{"ok", status == 200}, {"url", url}, {"error", error}};
  Answer answer;
  answer.status = status;
  answer.content_type = "application/json";
  answer.body = body.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  return answer;
}

bool WriteFileAtomically(const std::string& path, std::string_view content) {
  const std::string temporary = path + ".part";
  if (os::WriteWholeFile(temporary, content) != os::kOk) {
    unlink(temporary.c_str());
    return false;
  }
  return rename(temporary.c_str(), path.c_str()) == 0;
}

struct StoredReport {
  std::string account;
  std::string note;
  std::string received;
};

bool LoadMeta(const std::string& folder, StoredReport* report) {
  std::string text;
  if (os::ReadWholeFile(folder + "/meta.json", 65536, &text) != os::kOk) return false;
  const nlohmann::json meta = nlohmann::json::parse(text, nullptr, false);
  if (!meta.is_object()) return false;
  report->account = meta.value("account", "");
  report->note = meta.value("note", "");
  report->received = meta.value("received", "");
  return true;
}

Answer NoSuchReport() { return TextAnswer(404, "no such report"); }

// The private report page: the files, each text inline (cut at 256 KiB, and no more than
// kInlineBytes in all), and the crash records the index found.
ReportPageData ReportPageFor(const std::string& id, const StoredReport& report, const std::string& zip_path, int fd,
                             uint64_t size, const ReportIndex* index) {
  ReportPageData data;
  data.id = id;
  data.received = report.received;
  data.account = report.account;
  data.note = report.note;
  data.archive_bytes = size;
  std::vector<ZipEntryInfo> entries;
  ReadZipDirectoryFromFile(fd, size, &entries);
  StoredArchive archive;
  const bool readable = archive.Open(zip_path) && archive.count() == entries.size();
  uint64_t shown = 0;
  for (size_t i = 0; i < entries.size() && i < kListedEntries; ++i) {
    ShownEntry entry;
    entry.name = entries[i].name;
    entry.size = entries[i].size;
    if (readable && archive.name(i) == entry.name && IsTextEntry(entry.name) && shown < kInlineBytes) {
      entry.inline_text = true;
      entry.readable =
          archive.Read(i, std::min<uint64_t>(kTextEntryCap, kInlineBytes - shown), &entry.text, &entry.cut);
      shown += entry.text.size();
    }
    data.entries.push_back(std::move(entry));
  }
  if (entries.size() > kListedEntries) data.more_entries = entries.size() - kListedEntries;
  if (index != nullptr) data.indexed = index->RecordsOf(id, &data.records);
  return data;
}

// The launcher sends the note percent-encoded so any text survives a header line.
std::string PercentDecoded(std::string_view text) {
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string NowText() {
  char text[32];
  const time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

uint64_t FolderBytes(const fs::path& folder) {
  uint64_t total = 0;
  std::error_code problem;
  for (fs::recursive_directory_iterator walk(folder, problem), end; !problem && walk != end; walk.increment(problem)) {
    std::error_code kind_problem;
    if (walk->is_regular_file(kind_problem)) total += walk->file_size(kind_problem);
  }
  return total;
}

// The token from "Authorization: Bearer <token>" or from the password of HTTP Basic with any
// user name, which is what a browser sends after its prompt. Never from the address.
std::string GivenToken(const Request& request) {
  const std::string authorization = request.Header("Authorization");
  if (StartsWithNoCase(authorization, "Bearer ")) return authorization.substr(7);
  if (!StartsWithNoCase(authorization, "Basic ")) return std::string();
  std::string encoded = authorization.substr(6);
  while (!encoded.empty() && encoded.back() == ' ') encoded.pop_back();
  if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096) return std::string();
  std::string decoded(encoded.size() / 4 * 3, '\0');
  const int got =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                      reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
  if (got < 0) return std::string();
  size_t padding = 0;
  for (size_t i = encoded.size(); i-- > 0 && encoded[i] == '=';) ++padding;
  decoded.resize(static_cast<size_t>(got) - padding);
  const size_t colon = decoded.find(':');
  return colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
}

// One upload, written to disk as it arrives; the store holds nothing of it until it is a
// whole, valid archive.
class UploadSink : public BodySink {
 public:
  UploadSink(Reports& reports, std::string temporary, UniqueFd fd, uint64_t reserved, std::string account,
             std::string note, std::string link_base)
      : reports_(reports),
        temporary_(std::move(temporary)),
        fd_(std::move(fd)),
        reserved_(reserved),
        account_(std::move(account)),
        note_(std::move(note)),
        link_base_(std::move(link_base)) {}
  ~UploadSink() override {
    if (!temporary_.empty()) unlink(temporary_.c_str());
    reports_.Settle(reserved_, kept_);
  }

  bool Write(const char* data, size_t size) override {
    // A chunked body declares no length: it is stopped at the cap instead.
    if (size > reserved_ - received_) return false;
    received_ += size;
    while (size > 0 && write_error_ == 0) {
      const ssize_t n = write(fd_.get(), data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        write_error_ = errno;
        break;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  Answer Finish() override {
    if (write_error_ != 0) {
      std::cerr << "realm-site: can't store a report: " << std::strerror(write_error_) << std::endl;
      return write_error_ == ENOSPC || write_error_ == EDQUOT
                 ? UploadAnswer(507, "", "the site has no room for reports right now")
                 : UploadAnswer(500, "", "the site couldn't store the report");
    }
    std::vector<ZipEntryInfo> entries;
    if (!ReadZipDirectoryFromFile(fd_.get(), received_, &entries)) {
      return UploadAnswer(400, "", "the upload isn't a zip archive");
    }
    const std::string id = NewReportId();
    const std::string folder = reports_.folder() + "/" + id;
    const nlohmann::json meta = {{"account", account_},
                                 {"note", note_},
                                 {"received", NowText()},
                                 {"bytes", received_},
                                 {"entries", entries.size()}};
    // The archive goes in first; meta.json appearing marks the report complete.
    if (id.empty() || mkdir(folder.c_str(), 0750) != 0 ||
        rename(temporary_.c_str(), (folder + "/report.zip").c_str()) != 0 ||
        !WriteFileAtomically(folder + "/meta.json",
                             meta.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) {
      std::error_code ignored;
      if (!id.empty()) fs::remove_all(folder, ignored);
      return UploadAnswer(500, "", "the site couldn't store the report");
    }
    temporary_.clear();
    kept_ = received_ + meta.dump().size();
    reports_.Index(id);
    return UploadAnswer(200, link_base_ + "/reports/" + id, "");
  }

 private:
  Reports& reports_;
  std::string temporary_;
  UniqueFd fd_;
  uint64_t reserved_;
  uint64_t received_ = 0;
  uint64_t kept_ = 0;
  int write_error_ = 0;
  std::string account_;
  std::string note_;
  std::string link_base_;
};

// Reads and drops the body of a refused upload before answering. An answer sent while the
// launcher is still sending would reach it as a reset, and the player would see "no answer"
// instead of the reason. The body is within the size cap, and nothing of it is kept.
class DiscardSink : public BodySink {
 public:
  DiscardSink(uint64_t cap, Answer refusal) : left_(cap), refusal_(std::move(refusal)) {}
  bool Write(const char*, size_t size) override {
    if (size > left_) return false;
    left_ -= size;
    return true;
  }
  Answer Finish() override { return std::move(refusal_); }

 private:
  uint64_t left_;
  Answer refusal_;
};

}  // namespace

bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntryInfo>* entries) {
  return ReadDirectory(MemoryBytes(archive), entries);
}

bool ReadZipDirectoryFromFile(int fd, uint64_t size, std::vector<ZipEntryInfo>* entries) {
  return ReadDirectory(FileBytes(fd, size), entries);
}

std::string NewReportId() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string();
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id.push_back(kHex[b >> 4]);
    id.push_back(kHex[b & 0x0F]);
  }
  return id;
}

RateWindow::RateWindow(unsigned limit, std::chrono::seconds window, size_t max_keys)
    : limit_(limit), window_(window), max_keys_(max_keys) {}

void RateWindow::Forget(Clock::time_point now) {
  for (auto it = events_.begin(); it != events_.end();) {
    while (!it->second.empty() && now - it->second.front() >= window_) it->second.pop_front();
    it = it->second.empty() ? events_.erase(it) : std::next(it);
  }
  // Still full of addresses all active at once: start afresh rather than grow.
  if (events_.size() >= max_keys_) events_.clear();
}

bool RateWindow::Over(const std::string& key) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = events_.find(key);
  if (found == events_.end()) return false;
  const Clock::time_point now = Clock::now();
  while (!found->second.empty() && now - found->second.front() >= window_) found->second.pop_front();
  return found->second.size() >= limit_;
}

void RateWindow::Record(const std::string& key) {
  std::lock_guard<std::mutex> guard(mutex_);
  const Clock::time_point now = Clock::now();
  if (events_.size() >= max_keys_ && events_.find(key) == events_.end()) Forget(now);
  events_[key].push_back(now);
  if (events_[key].size() > limit_) events_[key].pop_front();
}

bool RateWindow::Admit(const std::string& key) {
  if (Over(key)) return false;
  Record(key);
  return true;
}

Reports::Reports(std::string root, const RealmConfig& config)
    : root_(std::move(root)), folder_(root_ + "/reports"), incoming_(root_ + "/.reports-incoming"), config_(config) {}

bool Reports::Open(std::string* error) {
  std::error_code problem;
  fs::create_directories(folder_, problem);
  if (!problem) fs::create_directories(incoming_, problem);
  if (problem) {
    *error = folder_ + " or " + incoming_ + " can't be made: " + problem.message();
    return false;
  }
  // Uploads cut off by a crash or a restart: never reports, only disk.
  for (const auto& item : fs::directory_iterator(incoming_, problem)) {
    std::error_code ignored;
    fs::remove(item.path(), ignored);
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stored_ = CountStore();
  }
  index_ = std::make_unique<ReportIndex>(folder_, config_.revision);
  if (!index_->Open(std::cerr, error)) return false;
  webhook_ = std::make_unique<Webhook>(config_.report_webhook);
  return true;
}

Reports::~Reports() = default;

uint64_t Reports::CountStore() {
  last_count_ = std::chrono::steady_clock::now();
  return FolderBytes(folder_);
}

uint64_t Reports::stored_bytes() {
  std::lock_guard<std::mutex> guard(mutex_);
  return stored_;
}

bool Reports::Reserve(uint64_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  const uint64_t quota = config_.report_quota_mib * 1048576;
  // The count may be stale after a prune: count again, at most every ten seconds.
  if (stored_ + reserved_ + bytes > quota &&
      std::chrono::steady_clock::now() - last_count_ > std::chrono::seconds(10)) {
    stored_ = CountStore();
  }
  if (stored_ + reserved_ + bytes > quota) return false;
  reserved_ += bytes;
  return true;
}

void Reports::Settle(uint64_t reserved, uint64_t kept) {
  std::lock_guard<std::mutex> guard(mutex_);
  reserved_ -= reserved;
  stored_ += kept;
}

void Reports::AddRoutes(HttpServer& server) {
  server.Post("/api/launcher/logs", [this](const Request& request, Answer* refusal) -> std::unique_ptr<BodySink> {
    uint64_t declared = 0;
    switch (CheckBodyHead(request, kMaxReportUpload, &declared)) {
      case 0: break;
      case 413: *refusal = UploadAnswer(413, "", "the report is larger than 64 MiB"); return nullptr;
      case 415: *refusal = UploadAnswer(415, "", "send the report without a Content-Encoding"); return nullptr;
      default: *refusal = UploadAnswer(400, "", "the upload's length isn't a number"); return nullptr;
    }
    const uint64_t reserved = declared == UINT64_MAX ? kMaxReportUpload : declared;
    if (!uploads_.Admit(request.network)) {
      Answer slow = UploadAnswer(429, "", "too many reports from your address; try again in ten minutes");
      slow.headers.emplace_back("Retry-After", "600");
      return std::make_unique<DiscardSink>(reserved, std::move(slow));
    }
    if (!Reserve(reserved)) {
      std::cerr << "realm-site: the report store is full (" << config_.report_quota_mib
                << " MiB): prune old reports or raise report_quota_mib" << std::endl;
      return std::make_unique<DiscardSink>(
          reserved, UploadAnswer(507, "", "the site has no room for reports right now; tell an admin"));
    }
    const std::string temporary = incoming_ + "/" + NewReportId() + ".part";
    UniqueFd fd(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!fd.valid()) {
      Settle(reserved, 0);
      std::cerr << "realm-site: can't write " << temporary << ": " << std::strerror(errno) << std::endl;
      *refusal = UploadAnswer(500, "", "the site couldn't store the report");
      return nullptr;
    }
    // The address that links start with: the realm's configured site, else the host asked for.
    std::string base = config_.site;
    if (base.empty()) base = (tls ? "https://" : "http://") + request.Header("Host");
    while (!base.empty() && base.back() == '/') base.pop_back();
    return std::make_unique<UploadSink>(*this, temporary, std::move(fd), reserved, request.Header("X-Account"),
                                        PercentDecoded(request.Header("X-Note")), base);
  });
  server.WhenBusy("/api/launcher/logs", [] {
    Answer busy = UploadAnswer(503, "", "the site is taking in too many reports at once; try again in a minute");
    busy.headers.emplace_back("Retry-After", "60");
    return busy;
  });

  // /reports/<id> and /reports/<id>/download: the id is the only key, so nothing else is told.
  // Under the same prefix, the console's group pages and JSON, which need the token.
  server.Get("/reports/", [this](const Request& request) {
    std::string_view rest = std::string_view(request.path).substr(9);
    if (rest == "groups.json" || rest.substr(0, 6) == "group/") {
      Answer refusal;
      if (!OperatorAllowed(request, &refusal)) return WithConsolePolicy(std::move(refusal));
      return ConsoleAnswer(*index_, config_, request);
    }
    const bool download = rest.size() > 9 && rest.substr(rest.size() - 9) == "/download";
    if (download) rest.remove_suffix(9);
    const std::string id(rest);
    StoredReport report;
    if (!IsReportId(id) || !LoadMeta(folder_ + "/" + id, &report)) return NoSuchReport();
    const std::string zip_path = folder_ + "/" + id + "/report.zip";
    UniqueFd fd(open(zip_path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat facts {};
    if (!fd.valid() || fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) return NoSuchReport();
    const uint64_t size = static_cast<uint64_t>(facts.st_size);
    if (download) {
      Answer answer;
      answer.content_type = "application/zip";
      answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"report-" + id + ".zip\"");
      answer.headers.emplace_back("Cache-Control", "private, no-store");
      answer.file = std::move(fd);
      answer.file_size = size;
      return answer;
    }
    return ConsoleHtml(ReportPageHtml(ReportPageFor(id, report, zip_path, fd.get(), size, index_.get())));
  });

  // The console: every report, grouped by crash, is the operator's alone.
  server.Get("/reports", [this](const Request& request) {
    Answer refusal;
    if (!OperatorAllowed(request, &refusal)) return WithConsolePolicy(std::move(refusal));
    return ConsoleAnswer(*index_, config_, request);
  });
}

bool Reports::OperatorAllowed(const Request& request, Answer* refusal) {
  const std::string& token = config_.operator_token;
  if (token.empty()) {
    *refusal = TextAnswer(403, "the list of reports is off: set operator_token in realm.json");
    return false;
  }
  if (token_failures_.Over(request.network)) {
    *refusal = TextAnswer(429, "too many wrong tokens from your address; try again in ten minutes");
    refusal->headers.emplace_back("Retry-After", "600");
    return false;
  }
  if (!SameSecret(GivenToken(request), token)) {
    if (request.HasHeader("Authorization")) token_failures_.Record(request.network);
    *refusal = TextAnswer(401, "the list of reports needs the operator's token (as the password, any user name)");
    refusal->headers.emplace_back("WWW-Authenticate", "Basic realm=\"realm-site reports\", charset=\"UTF-8\"");
    return false;
  }
  return true;
}

void Reports::Index(const std::string& id) {
  const int64_t now = static_cast<int64_t>(time(nullptr));
  for (const Alert& alert : index_->Add(id, now)) {
    if (!webhook_->on()) break;
    webhook_->Post(AlertMessage(alert, config_.realm, config_.site));
    index_->MarkAlerted(alert.group, now);
  }
}

bool PruneReports(const std::string& root, double days, uint64_t* removed, uint64_t* freed, std::string* error) {
  *removed = 0;
  *freed = 0;
  const fs::path folder = fs::path(root) / "reports";
  std::error_code problem;
  if (!fs::exists(folder, problem)) return true;
  const auto cutoff = fs::file_time_type::clock::now() - std::chrono::duration_cast<fs::file_time_type::duration>(
                                                             std::chrono::duration<double>(days * 86400));
  for (const auto& item : fs::directory_iterator(folder, problem)) {
    const std::string name = item.path().filename().string();
    if (!IsReportId(name)) continue;
    std::error_code item_problem;
    // A report counts from when it was complete (its meta.json); one cut off before that,
    // from when its folder was made.
    fs::path stamp = item.path() / "meta.json";
    if (!fs::exists(stamp, item_problem)) stamp = item.path();
    const auto written = fs::last_write_time(stamp, item_problem);
    if (item_problem || written > cutoff) continue;
    const uint64_t bytes = FolderBytes(item.path());
    fs::remove_all(item.path(), item_problem);
    if (item_problem) {
      *error = item.path().string() + " can't be removed: " + item_problem.message();
      return false;
    }
    ++*removed;
    *freed += bytes;
  }
  if (problem) {
    *error = folder.string() + " can't be listed: " + problem.message();
    return false;
  }
  return true;
}

}  // namespace vantrel::site
