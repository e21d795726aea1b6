#include "realm-site/logs.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "support/text.h"

namespace vantrel::site {
namespace {

uint16_t U16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}
uint32_t U32(std::string_view s, size_t at) { return U16(s, at) | (static_cast<uint32_t>(U16(s, at + 2)) << 16); }

bool IsReportId(std::string_view id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!IsAsciiDigit(static_cast<unsigned char>(c)) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// Compares without an early exit, so the token can't be guessed byte by byte from timing.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void Answer(httplib::Response& response, int status, std::string_view url, std::string_view error) {
  nlohmann::json body = {{"ok", status == 200}, {"url", url}, {"error", error}};
  response.status = status;
  response.set_content(body.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace), "application/json");
}

bool WriteFileAtomically(const std::string& path, std::string_view content) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct StoredReport {
  std::string account;
  std::string note;
  std::string received;
  std::string archive;
};

bool LoadReport(const std::string& folder, StoredReport* report, bool with_archive) {
  const nlohmann::json meta = nlohmann::json::parse(ReadText(folder + "/meta.json"), nullptr, false);
  if (!meta.is_object()) return false;
  report->account = meta.value("account", "");
  report->note = meta.value("note", "");
  report->received = meta.value("received", "");
  if (with_archive) report->archive = ReadText(folder + "/report.zip");
  return true;
}

std::string ReportPage(const std::string& id, const StoredReport& report) {
  std::vector<ZipEntryInfo> entries;
  ReadZipDirectory(report.archive, &entries);
  std::string page =
      "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Log report</title></head><body>\n"
      "<h1>Log report</h1>\n<p>Received: " +
      HtmlEscape(report.received) + "<br>Account: " + HtmlEscape(report.account) +
      "<br>Note: " + HtmlEscape(report.note) + "</p>\n<p><a href=\"/reports/" + id +
      "/download\">Download the archive</a> (" + Decimal(report.archive.size()) +
      " bytes)</p>\n<table>\n"
      "<tr><th>File</th><th>Size</th></tr>\n";
  for (const ZipEntryInfo& entry : entries) {
    page += "<tr><td>" + HtmlEscape(entry.name) + "</td><td>" + Decimal(entry.size) + "</td></tr>\n";
  }
  page += "</table>\n</body></html>\n";
  return page;
}

// The address that links start with: the realm's configured site, else the host asked for.
std::string SiteAddress(const Site& site, const httplib::Request& request) {
  std::string address = site.config().site;
  if (address.empty()) address = "http://" + request.get_header_value("Host");
  while (!address.empty() && address.back() == '/') address.pop_back();
  return address;
}

std::string NowText() {
  char text[32];
  const time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

}  // namespace

bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntryInfo>* entries) {
  entries->clear();
  if (archive.size() < 22) return false;
  // The end record sits at the end, after a comment of at most 65535 bytes.
  size_t end = std::string_view::npos;
  const size_t lowest = archive.size() > 22 + 65535 ? archive.size() - 22 - 65535 : 0;
  for (size_t at = archive.size() - 22 + 1; at-- > lowest;) {
    if (U32(archive, at) == 0x06054B50 && at + 22 + U16(archive, at + 20) == archive.size()) {
      end = at;
      break;
    }
  }
  if (end == std::string_view::npos) return false;
  const uint16_t count = U16(archive, end + 10);
  const uint64_t directory_size = U32(archive, end + 12);
  const uint64_t directory_offset = U32(archive, end + 16);
  if (U16(archive, end + 8) != count || directory_offset + directory_size > end) return false;
  size_t at = directory_offset;
  const size_t directory_end = directory_offset + directory_size;
  for (uint16_t i = 0; i < count; ++i) {
    if (at + 46 > directory_end || U32(archive, at) != 0x02014B50) return false;
    ZipEntryInfo entry;
    entry.method = U16(archive, at + 10);
    entry.stored_size = U32(archive, at + 20);
    entry.size = U32(archive, at + 24);
    const size_t name_size = U16(archive, at + 28);
    const size_t record_size = 46 + name_size + U16(archive, at + 30) + U16(archive, at + 32);
    const uint64_t local = U32(archive, at + 42);
    if (at + record_size > directory_end) return false;
    if (local + 30 > directory_offset || U32(archive, local) != 0x04034B50) return false;
    const uint64_t data_end = local + 30 + U16(archive, local + 26) + U16(archive, local + 28) + entry.stored_size;
    if (data_end > directory_offset) return false;
    entry.name = std::string(archive.substr(at + 46, name_size));
    entries->push_back(std::move(entry));
    at += record_size;
  }
  return at == directory_end;
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

void ConfigureLogRoutes(httplib::Server& server, Site& site) {
  const std::string reports = site.root() + "/reports";

  server.Post("/api/launcher/logs", [&site, reports](const httplib::Request& request, httplib::Response& response) {
    if (request.body.size() > kMaxReportUpload) {
      return Answer(response, 400, "", "the report is larger than 64 MiB");
    }
    std::vector<ZipEntryInfo> entries;
    if (!ReadZipDirectory(request.body, &entries)) return Answer(response, 400, "", "the upload isn't a zip archive");
    const std::string id = NewReportId();
    std::error_code error;
    const std::string folder = reports + "/" + id;
    if (id.empty() || !std::filesystem::create_directories(folder, error)) {
      std::cerr << "realm-site: can't make " << folder << std::endl;
      return Answer(response, 500, "", "the site couldn't store the report");
    }
    const nlohmann::json meta = {{"account", request.get_header_value("X-Account")},
                                 {"note", request.get_header_value("X-Note")},
                                 {"received", NowText()},
                                 {"bytes", request.body.size()},
                                 {"entries", entries.size()}};
    // The archive goes in first; meta.json appearing marks the report complete.
    if (!WriteFileAtomically(folder + "/report.zip", request.body) ||
        !WriteFileAtomically(folder + "/meta.json",
                             meta.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) {
      std::filesystem::remove_all(folder, error);
      return Answer(response, 500, "", "the site couldn't store the report");
    }
    Answer(response, 200, SiteAddress(site, request) + "/reports/" + id, "");
  });

  server.Get(R"(/reports/([^/]+))", [reports](const httplib::Request& request, httplib::Response& response) {
    const std::string id = request.matches[1].str();
    StoredReport report;
    if (!IsReportId(id) || !LoadReport(reports + "/" + id, &report, true)) {
      response.status = 404;
      return response.set_content("no such report\n", "text/plain; charset=utf-8");
    }
    response.set_content(ReportPage(id, report), "text/html; charset=utf-8");
  });

  server.Get(R"(/reports/([^/]+)/download)", [reports](const httplib::Request& request, httplib::Response& response) {
    const std::string id = request.matches[1].str();
    StoredReport report;
    if (!IsReportId(id) || !LoadReport(reports + "/" + id, &report, true)) {
      response.status = 404;
      return response.set_content("no such report\n", "text/plain; charset=utf-8");
    }
    response.set_header("Content-Disposition", "attachment; filename=\"report-" + id + ".zip\"");
    response.set_content(report.archive, "application/zip");
  });

  // The list of all reports is the operator's alone: a report's link is its only key.
  server.Get("/reports", [&site, reports](const httplib::Request& request, httplib::Response& response) {
    const std::string& token = site.config().operator_token;
    std::string given = request.get_param_value("token");
    const std::string authorization = request.get_header_value("Authorization");
    if (StartsWithNoCase(authorization, "Bearer ")) given = authorization.substr(7);
    if (token.empty() || !SameSecret(given, token)) {
      response.status = 403;
      return response.set_content("the list of reports needs the operator's token\n", "text/plain; charset=utf-8");
    }
    std::string page =
        "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Log reports</title></head><body>\n"
        "<h1>Log reports</h1>\n<ul>\n";
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(reports, error)) {
      const std::string id = item.path().filename().string();
      StoredReport report;
      if (!IsReportId(id) || !LoadReport(item.path().string(), &report, false)) continue;
      page += "<li><a href=\"/reports/" + id + "\">" + HtmlEscape(report.received) + "</a> " +
              HtmlEscape(report.account) + "</li>\n";
    }
    page += "</ul>\n</body></html>\n";
    response.set_content(page, "text/html; charset=utf-8");
  });
}

}  // namespace vantrel::site
