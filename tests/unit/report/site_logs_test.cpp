#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "launcher/jobs.h"
#include "realm-site/logs.h"
#include "report/zip.h"
#include "unit/report/report_fixture.h"

namespace vantrel {
namespace {

// std::regex trips a false warning of GCC under the sanitizers, so ids are checked by hand.
bool IsHexId(std::string_view id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string Pack(const std::vector<ReportEntry>& entries) {
  std::string archive;
  EXPECT_TRUE(PackReport(entries.data(), static_cast<uint32_t>(entries.size()), true, &archive));
  return archive;
}

TEST(SiteZipDirectory, ReadsOurArchivesAndRefusesBrokenOnes) {
  const std::string archive = Pack({{"game/a.log", std::string(3000, 'a'), 0}, {"launcher.txt", "x", 0}});
  std::vector<site::ZipEntryInfo> entries;
  ASSERT_TRUE(site::ReadZipDirectory(archive, &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "game/a.log");
  EXPECT_EQ(entries[0].method, 8);
  EXPECT_EQ(entries[0].size, 3000u);
  EXPECT_EQ(entries[1].name, "launcher.txt");
  EXPECT_TRUE(site::ReadZipDirectory(Pack({}), &entries));
  EXPECT_TRUE(entries.empty());
  // A trailing comment is allowed when the end record says so.
  std::string commented = archive;
  commented[commented.size() - 2] = 3;
  EXPECT_TRUE(site::ReadZipDirectory(commented + "abc", &entries));

  EXPECT_FALSE(site::ReadZipDirectory("", &entries));
  EXPECT_FALSE(site::ReadZipDirectory("this is not a zip archive at all", &entries));
  EXPECT_FALSE(site::ReadZipDirectory(archive.substr(0, archive.size() - 1), &entries));
  EXPECT_FALSE(site::ReadZipDirectory(archive.substr(1), &entries));
  EXPECT_FALSE(site::ReadZipDirectory(archive + "x", &entries));
  // Every corrupted byte of the directory or end record is either caught or harmless.
  for (size_t i = archive.rfind("PK\x01\x02", std::string::npos, 4); i < archive.size(); ++i) {
    std::string broken = archive;
    broken[i] = static_cast<char>(broken[i] ^ 0xA5);
    site::ReadZipDirectory(broken, &entries);
  }
  std::string bad_offset = archive;
  bad_offset[bad_offset.size() - 6] = 0x7F;
  EXPECT_FALSE(site::ReadZipDirectory(bad_offset, &entries));
}

TEST(SiteReportId, IsFreshHex) {
  const std::string a = site::NewReportId();
  const std::string b = site::NewReportId();
  EXPECT_TRUE(IsHexId(a));
  EXPECT_NE(a, b);
}

// The launcher's own upload job against the site's log routes.
class SiteLogs : public testing_support::ReportTree {
 protected:
  void SetUp() override {
    ReportTree::SetUp();
    std::filesystem::create_directories(root_ + "/realm/files");
    site::RealmConfig config;
    config.realm = "Test";
    config.operator_token = "op-secret";
    site_ = std::make_unique<site::Site>(root_ + "/realm", config);
    site::ConfigureLogRoutes(server_, *site_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping a server whose loop hasn't started yet leaves the loop running for good.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!server_.is_running()) std::this_thread::yield();
    context_.realm_address = "http://127.0.0.1:" + std::to_string(port_);
  }
  void TearDown() override {
    server_.stop();
    thread_.join();
    ReportTree::TearDown();
  }
  httplib::Client Client() { return httplib::Client("127.0.0.1", port_); }

  std::unique_ptr<site::Site> site_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

TEST_F(SiteLogs, StoresTheReportBehindItsPrivateLink) {
  Put(game_ + "/net.log", "net <b>log</b>");
  context_.job_kind = JobKind::kGather;
  RunGathering(context_);
  const std::string log = state_.report_entries[0].content;
  context_.job_kind = JobKind::kUpload;
  context_.account.Set("Mira<script>");
  context_.note.Set("lag & crash");
  RunUpload(context_);
  ASSERT_EQ(Traces().back(), "[vantrel] finish: Sent |  | ready=1");
  const std::string link = std::string(state_.report_link.View());
  const std::string prefix = context_.realm_address + "/reports/";
  ASSERT_EQ(link.substr(0, prefix.size()), prefix);
  const std::string id = link.substr(prefix.size());
  ASSERT_TRUE(IsHexId(id)) << link;

  httplib::Client client = Client();
  auto page = client.Get("/reports/" + id);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("game/net.log"), std::string::npos);
  EXPECT_NE(page->body.find("launcher.txt"), std::string::npos);
  EXPECT_NE(page->body.find("Mira&lt;script&gt;"), std::string::npos);
  EXPECT_NE(page->body.find("lag &amp; crash"), std::string::npos);
  auto download = client.Get("/reports/" + id + "/download");
  ASSERT_TRUE(download);
  std::vector<site::ZipEntryInfo> entries;
  ASSERT_TRUE(site::ReadZipDirectory(download->body, &entries));
  EXPECT_EQ(entries.size(), 2u);

  // Only the operator can list reports; unknown or malformed ids are simply not there.
  EXPECT_EQ(client.Get("/reports")->status, 403);
  EXPECT_EQ(client.Get("/reports?token=wrong")->status, 403);
  auto listed = client.Get("/reports", {{"Authorization", "Bearer op-secret"}});
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->status, 200);
  EXPECT_NE(listed->body.find(id), std::string::npos);
  EXPECT_EQ(client.Get("/reports/" + std::string(32, '0'))->status, 404);
  EXPECT_EQ(client.Get("/reports/..%2F..%2Frealm.json")->status, 404);
}

TEST_F(SiteLogs, RefusesWhatIsNotAReport) {
  httplib::Client client = Client();
  auto not_zip = client.Post("/api/launcher/logs", "hello", "application/octet-stream");
  ASSERT_TRUE(not_zip);
  EXPECT_EQ(not_zip->status, 400);
  EXPECT_EQ(not_zip->body, R"({"error":"the upload isn't a zip archive","ok":false,"url":""})");
  std::string huge = Pack({});
  huge.insert(0, site::kMaxReportUpload, '\0');
  auto too_big = client.Post("/api/launcher/logs", huge, "application/octet-stream");
  ASSERT_TRUE(too_big);
  EXPECT_EQ(too_big->status, 400);
  EXPECT_NE(too_big->body.find("larger than 64 MiB"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/realm/reports"));

  // A path the site does not serve: the answer is not one the launcher can read.
  context_.realm_address += "/nowhere";
  RunUpload(context_);
  EXPECT_EQ(Traces().back(), "[vantrel] finish: The site's answer didn't make sense |  | ready=1");
}

}  // namespace
}  // namespace vantrel
