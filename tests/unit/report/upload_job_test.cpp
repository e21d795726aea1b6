#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "launcher/jobs.h"
#include "support/text.h"
#include "unit/report/archive_readers.h"
#include "unit/report/report_fixture.h"

namespace vantrel {
namespace {

// A loopback realm site that records each upload and answers as the test says.
class UploadSite {
 public:
  UploadSite() {
    server_.Post("/api/launcher/logs", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> guard(lock_);
      bodies_.push_back(request.body);
      account_ = request.get_header_value("X-Account");
      note_ = request.get_header_value("X-Note");
      content_type_ = request.get_header_value("Content-Type");
      response.status = status_;
      response.set_content(answer_, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping a server whose loop hasn't started yet leaves the loop running for good.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~UploadSite() {
    server_.stop();
    thread_.join();
  }
  std::string Address() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void Answer(int status, std::string body) {
    std::lock_guard<std::mutex> guard(lock_);
    status_ = status;
    answer_ = std::move(body);
  }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> guard(lock_);
    return bodies_;
  }

  std::string account_;
  std::string note_;
  std::string content_type_;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex lock_;
  int status_ = 200;
  std::string answer_;
  std::vector<std::string> bodies_;
};

class Upload : public testing_support::ReportTree {
 protected:
  void SetUp() override {
    ReportTree::SetUp();
    context_.realm_address = site_.Address();
  }
  void Gather() {
    context_.job_kind = JobKind::kGather;
    RunGathering(context_);
    context_.job_kind = JobKind::kUpload;
  }
  std::vector<testing_support::ExpectedEntry> Expected(bool with_dumps) const {
    std::vector<testing_support::ExpectedEntry> expected;
    for (uint32_t i = 0; i < state_.report_entry_count; ++i) {
      const ReportEntry& e = state_.report_entries[i];
      if (with_dumps || !e.is_crash_dump) expected.push_back({e.name, e.content});
    }
    return expected;
  }
  UploadSite site_;
};

TEST_F(Upload, SendsThePackedReportAndShowsTheLink) {
  Put(game_ + "/net.log", std::string(100000, 'n'));
  Put(local_ + "/CrashDumps/Game.exe.1.dmp", "dump bytes");
  Gather();
  ASSERT_EQ(state_.crash_dump_count, 1u);
  state_.include_crash_dumps = false;
  const auto expected = Expected(false);
  context_.account.Set("Mira\r\n");
  context_.note.Set("crash at a/b");
  const std::string link = "http://site/reports/" + std::string(700, 'x');
  site_.Answer(200, "{\"ok\":true,\"url\":\"" + link + "\",\"error\":\"\"}");
  testing_support::g_trace_lines.clear();

  RunUpload(context_);
  const auto bodies = site_.Bodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(testing_support::CheckArchiveWithReaders(bodies[0], expected), "");
  EXPECT_EQ(site_.account_, "Mira");
  // httplib hands header values over percent-decoded: one round of decoding gives the note back.
  EXPECT_EQ(site_.note_, "crash at a/b");
  EXPECT_EQ(site_.content_type_, "application/octet-stream");
  EXPECT_EQ(state_.page, Page::kSent);
  EXPECT_EQ(state_.report_link.View(), link.substr(0, 600));
  EXPECT_EQ(state_.report_entries, nullptr);
  EXPECT_EQ(state_.report_entry_count, 0u);
  EXPECT_EQ(context_.report_arena, nullptr);
  EXPECT_EQ(Traces(), (std::vector<std::string>{"[vantrel] status: Packing the logs | ",
                                                "[vantrel] status: Sending the logs | " + SizeText(bodies[0].size()),
                                                "[vantrel] finish: Sent |  | ready=1"}));
}

TEST_F(Upload, FailuresKeepTheReportForAnotherTry) {
  Put(game_ + "/net.log", "net");
  Gather();
  const ReportEntry* entries = state_.report_entries;
  state_.ready = false;
  const struct {
    int status;
    std::string body;
    const char* finish;
  } kCases[] = {
      {500, "<html>Internal error</html>", "The site's answer didn't make sense |  | ready=0"},
      {200, R"({"ok":true,"url":"","error":""})", "The site didn't keep the logs |  | ready=0"},
      {413, R"({"ok":false,"error":"Too big for this realm"})",
       "The site didn't keep the logs | Too big for this realm | ready=0"},
      {200, std::string(65537, ' ') + "{}", "The logs didn't send | the realm sent more than expected | ready=0"},
  };
  for (const auto& c : kCases) {
    site_.Answer(c.status, c.body);
    RunUpload(context_);
    EXPECT_EQ(Traces().back(), std::string("[vantrel] finish: ") + c.finish);
    EXPECT_EQ(state_.page, Page::kSendLogs);
    EXPECT_EQ(state_.report_entries, entries);
    EXPECT_EQ(state_.report_entry_count, 2u);
    EXPECT_TRUE(state_.report_link.Empty());
  }
  site_.Answer(200, R"({"url":"http://site/reports/1","extra":[{}]})");
  RunUpload(context_);
  EXPECT_EQ(Traces().back(), "[vantrel] finish: Sent |  | ready=0");
  const auto bodies = site_.Bodies();
  ASSERT_EQ(bodies.size(), 5u);
  for (const std::string& body : bodies) EXPECT_EQ(body, bodies[0]);
}

TEST_F(Upload, UnreachableSiteAndEmptyReport) {
  // No gathered report: the 22-byte empty archive is still sent.
  site_.Answer(200, R"({"url":"http://site/reports/2"})");
  RunUpload(context_);
  ASSERT_EQ(site_.Bodies().size(), 1u);
  EXPECT_EQ(site_.Bodies()[0].size(), 22u);
  EXPECT_EQ(Traces().back(), "[vantrel] finish: Sent |  | ready=1");

  context_.realm_address = "http://127.0.0.1:1";
  RunUpload(context_);
  EXPECT_EQ(Traces().back(), "[vantrel] finish: The logs didn't send | no answer; check your connection | ready=1");
}

// Planted identities in logs, WER reports and file names must not leave the computer.
TEST_F(Upload, NoPlantedValueReachesTheSite) {
  context_.computer_names = {"ATLAS-7", "atlas-7.corp.example"};
  context_.user_names = {"mira", "Mira Lund"};
  state_.game_folder.Set(game_);
  const std::string planted_log =
      "Local IP: 192.168.7.20\nComputer name: HIDDEN-HOST-9\nuser mira on ATLAS-7 (atlas-7.corp.example)\n"
      "save C:\\Users\\Mira Lund\\Saved Games\\x and /users/tomsecret/.wine\n"
      "peers 10.9.8.7, 172.20.1.2, 169.254.3.4, 127.0.0.1 public 8.8.4.4 and 203.0.113.77\r\n";
  Put(game_ + "/D2120304.txt", planted_log, 1);
  Put(game_ + "/mira.log", planted_log, 2);
  Put(game_ + "/ATLAS-7 10.1.2.3.log", planted_log, 3);
  Put(game_ + "/plugin/Mira Lund.log", planted_log, 4);
  std::u16string wide = u"Sig[0].Value=C:\\Users\\mira\\Game.exe\r\nNsAppName=ATLAS-7\r\nIP=192.168.1.5 8.8.4.4\r\n";
  std::string wer("\xFF\xFE", 2);
  for (char16_t u : wide) {
    wer.push_back(static_cast<char>(u & 0xFF));
    wer.push_back(static_cast<char>(u >> 8));
  }
  Put(WerFolder(local_, "ReportArchive", "AppCrash_Game.exe_mira") + "/Report.wer", wer);
  Put(local_ + "/CrashDumps/Game.exe.ATLAS-7.dmp", "binary dump", 1);
  Gather();
  site_.Answer(200, R"({"url":"http://site/reports/3"})");
  const auto expected = Expected(true);
  ASSERT_EQ(expected.size(), 7u);
  RunUpload(context_);
  const auto bodies = site_.Bodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(testing_support::CheckArchiveWithReaders(bodies[0], expected), "");

  std::string everything = bodies[0];
  for (const auto& entry : expected) everything += "\n" + entry.name + "\n" + entry.content;
  const char* kPlanted[] = {"mira",      "Mira",     "MIRA",     "Lund",    "ATLAS",    "atlas",     "HIDDEN-HOST",
                            "tomsecret", "192.168.", "10.9.8.7", "172.20.", "169.254.", "127.0.0.1", "10.1.2.3"};
  for (const char* planted : kPlanted) EXPECT_EQ(everything.find(planted), std::string::npos) << planted;
  for (const char* kept : {"8.8.4.4", "203.0.113.77"}) EXPECT_NE(everything.find(kept), std::string::npos) << kept;
  EXPECT_NE(everything.find("crash/Game.exe.[computer].dmp"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
