#include "realm-site/report_facts.h"

#include <zip.h>

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "realm-site/crash_signature.h"
#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

bool IsHex(std::string_view text) {
  for (char c : text) {
    const char lower = AsciiLower(c);
    if (!IsAsciiDigit(static_cast<unsigned char>(lower)) && (lower < 'a' || lower > 'f')) return false;
  }
  return !text.empty();
}

// "crash/<folder>/Report.wer.txt" gives <folder>; empty for anything else.
std::string WerFolder(std::string_view name) {
  constexpr std::string_view kReport = "/Report.wer.txt";
  if (!StartsWithNoCase(name, "crash/") || !EndsWithNoCase(name, kReport)) return std::string();
  const std::string_view folder = name.substr(6, name.size() - 6 - kReport.size());
  if (folder.empty() || folder.find('/') != std::string_view::npos) return std::string();
  return AsciiLowered(folder);
}

// The folder of "crash/<folder>/<dump>"; empty for a dump straight under crash/.
std::string DumpFolder(std::string_view name) {
  const std::string_view rest = name.substr(6);
  const size_t slash = rest.find('/');
  return slash == std::string_view::npos ? std::string() : AsciiLowered(rest.substr(0, slash));
}

CrashRecord Record(std::string entry, std::string signature, std::string key) {
  CrashRecord record;
  record.entry = std::move(entry);
  record.group = GroupId(signature);
  record.signature = std::move(signature);
  record.key = std::move(key);
  return record;
}

}  // namespace

void ReadLauncherSummary(std::string_view text, ReportFacts* facts) {
  bool seen_launcher = false;
  bool seen_windows = false;
  bool seen_file_set = false;
  for (size_t line_number = 0; line_number < 16 && !text.empty(); ++line_number) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!seen_launcher && line.substr(0, 9) == "Launcher ") {
      seen_launcher = true;
      const std::string_view build = line.substr(9, 8);
      if (build.size() == 8 && IsHex(build) && (line.size() == 17 || line[17] == ' ')) {
        facts->launcher = AsciiLowered(build);
      }
    } else if (!seen_windows && line.substr(0, 7) == "Windows") {
      seen_windows = true;
      facts->windows = line;
    } else if (!seen_file_set && line.substr(0, 10) == "File set: ") {
      seen_file_set = true;
      facts->file_set = line.substr(10);
    }
  }
}

StoredArchive::~StoredArchive() {
  if (zip_ != nullptr) zip_discard(static_cast<zip_t*>(zip_));
}

bool StoredArchive::Open(const std::string& path) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (zip == nullptr) return false;
  zip_ = zip;
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t facts;
    zip_stat_init(&facts);
    const char* name = zip_get_name(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name == nullptr || zip_stat_index(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &facts) != 0) return false;
    names_.emplace_back(name);
    sizes_.push_back((facts.valid & ZIP_STAT_SIZE) ? facts.size : 0);
  }
  return true;
}

bool StoredArchive::Read(size_t index, uint64_t cap, std::string* out, bool* cut) const {
  out->clear();
  *cut = false;
  zip_file_t* file = zip_fopen_index(static_cast<zip_t*>(zip_), index, 0);
  if (file == nullptr) return false;
  // The declared size may lie: the buffer grows with what actually comes, up to the cap.
  char piece[65536];
  bool ok = true;
  while (true) {
    const zip_int64_t got = zip_fread(file, piece, sizeof piece);
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    const uint64_t room = cap - out->size();
    if (static_cast<uint64_t>(got) > room) {
      out->append(piece, static_cast<size_t>(room));
      *cut = true;
      break;
    }
    out->append(piece, static_cast<size_t>(got));
  }
  zip_fclose(file);
  return ok;
}

bool IsReportId(std::string_view id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool IsDumpName(std::string_view name) {
  return EndsWithNoCase(name, ".dmp") || EndsWithNoCase(name, ".mdmp") || EndsWithNoCase(name, ".hdmp");
}

int64_t ParseReceived(std::string_view text) {
  struct tm parts {};
  const std::string copy(text);
  const char* end = strptime(copy.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
  if (end == nullptr) return -1;
  return static_cast<int64_t>(timegm(&parts));
}

bool ReadReportFacts(const std::string& folder, const std::string& id, ReportFacts* facts) {
  *facts = ReportFacts();
  facts->id = id;
  std::string meta_text;
  if (os::ReadWholeFile(folder + "/meta.json", 65536, &meta_text) != os::kOk) return false;
  const nlohmann::json meta = nlohmann::json::parse(meta_text, nullptr, false);
  if (!meta.is_object()) return false;
  const auto text_of = [&meta](const char* key) {
    auto found = meta.find(key);
    return found != meta.end() && found->is_string() ? found->get<std::string>() : std::string();
  };
  facts->account = text_of("account");
  facts->note = text_of("note");
  facts->received = ParseReceived(text_of("received"));
  if (facts->received < 0) facts->received = 0;

  StoredArchive archive;
  if (!archive.Open(folder + "/report.zip")) {
    facts->records.push_back(Record("report.zip", std::string(kUnreadableCrash), "archive:" + id));
    return true;
  }
  // Folders that hold a Report.wer: their dumps are the same crash, not records of their own.
  std::map<std::string, bool> wer_folders;
  for (size_t i = 0; i < archive.count(); ++i) {
    const std::string folder_name = WerFolder(archive.name(i));
    if (!folder_name.empty()) wer_folders[folder_name] = true;
  }
  std::string content;
  bool cut = false;
  for (size_t i = 0; i < archive.count(); ++i) {
    const std::string& name = archive.name(i);
    if (name == "launcher.txt") {
      if (archive.Read(i, kTextEntryCap, &content, &cut)) ReadLauncherSummary(content, facts);
      continue;
    }
    if (facts->records.size() >= kMaxCrashRecords || !StartsWithNoCase(name, "crash/")) continue;
    // An entry that can't be read counts once per report: nothing identifies it across reports.
    const std::string unreadable_key = "entry:" + id + "/" + name;
    if (!WerFolder(name).empty()) {
      if (!archive.Read(i, kTextEntryCap, &content, &cut)) {
        facts->records.push_back(Record(name, std::string(kUnreadableCrash), unreadable_key));
        continue;
      }
      WerReport report;
      const bool readable = ReadWerReport(content, &report);
      const std::string signature = readable ? WerSignature(report) : std::string(kUnreadableCrash);
      std::string key = report.report_identifier.empty() ? "sha:" + Sha256Text(content)
                                                         : "wer:" + AsciiLowered(report.report_identifier);
      facts->records.push_back(Record(name, signature, std::move(key)));
    } else if (IsDumpName(name) && wer_folders.count(DumpFolder(name)) == 0) {
      if (!archive.Read(i, kDumpEntryCap, &content, &cut) || cut) {
        facts->records.push_back(Record(name, std::string(kUnreadableCrash), unreadable_key));
        continue;
      }
      facts->records.push_back(Record(name, DumpSignature(content), "sha:" + Sha256Text(content)));
    }
  }
  return true;
}

}  // namespace vantrel::site
