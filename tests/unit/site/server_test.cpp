#include "realm-site/server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "blockmap/blockmap.h"
#include "realm-site/cli.h"
#include "report/zip.h"
#include "support/sha256.h"
#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

class ServerTest : public RealmFolder {
 protected:
  void Start() {
    RealmConfig config;
    std::string error;
    ASSERT_TRUE(LoadRealmConfig(root_, &config, &error)) << error;
    site_ = std::make_unique<Site>(root_, config);
    ASSERT_TRUE(site_->Refresh(&error)) << error;
    reports_ = std::make_unique<Reports>(root_, config);
    ASSERT_TRUE(reports_->Open(&error)) << error;
    server_ = std::make_unique<HttpServer>();
    AddRealmRoutes(*server_, *site_, *reports_);
    ASSERT_TRUE(server_->Start(ListenAddress{"127.0.0.1", 0, "", ""}, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
  }
  void TearDown() override {
    if (site_) site_->StopWatching();
    if (server_) server_->Stop();
    RealmFolder::TearDown();
  }
  // Status and body of a GET; the path goes out exactly as written.
  std::pair<int, std::string> Get(const std::string& path, const httplib::Headers& headers = {}) {
    auto answer = client_->Get(path.c_str(), headers);
    if (!answer) return {0, ""};
    return {answer->status, answer->body};
  }
  // Waits for the watcher to publish a manifest that satisfies `ready`.
  bool WaitForManifest(const std::function<bool(const nlohmann::json&)>& ready) {
    for (int i = 0; i < 200; ++i) {
      auto [status, body] = Get("/api/launcher/manifest");
      if (status == 200 && ready(nlohmann::json::parse(body))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::unique_ptr<Site> site_;
  std::unique_ptr<Reports> reports_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServerTest, ServesManifestFilesAndGatewayFile) {
  std::string big(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
  Write("files/Data/big.mpq", big);
  Write("files/Game Folder/My Game.exe", "exe");
  Start();

  auto manifest_answer = client_->Get("/api/launcher/manifest");
  ASSERT_TRUE(manifest_answer);
  ASSERT_EQ(manifest_answer->status, 200);
  EXPECT_EQ(manifest_answer->get_header_value("X-Content-Type-Options"), "nosniff");
  const auto manifest = nlohmann::json::parse(manifest_answer->body);
  EXPECT_EQ(manifest["files"][0]["sha256"], Sha256Text(big));

  auto file = Get("/api/launcher/file/Data/big.mpq");
  EXPECT_EQ(file.first, 200);
  EXPECT_TRUE(file.second == big) << "streamed body differs, size " << file.second.size();
  EXPECT_EQ(Get("/api/launcher/file/Game%20Folder/My%20Game.exe"), std::make_pair(200, std::string("exe")));

  auto reg = Get("/client-pack/gateway.reg");
  EXPECT_EQ(reg.first, 200);
  // UTF-16LE after a byte-order mark, as the registry editor writes version 5 files.
  const std::string head = "Windows Registry Editor Version 5.00\r\n";
  std::string wide_head = "\xff\xfe";
  for (char c : head) wide_head += std::string{c, '\0'};
  EXPECT_EQ(reg.second.rfind(wide_head, 0), 0u);
}

TEST_F(ServerTest, BlockMapsComeFromTheCacheAndExportAsTheSameBytes) {
  std::string big(4194304 + 4097, '\0');
  uint64_t state = 88172645463325252u;
  for (char& c : big) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    c = static_cast<char>(state);
  }
  Write("files/Data/big.mpq", big);
  Write("files/small.txt", std::string(4194303, 's'));  // a byte under the size that gets a map
  Start();
  const auto manifest = nlohmann::json::parse(Get("/api/launcher/manifest").second);
  ASSERT_EQ(manifest["files"][0]["path"], "Data/big.mpq");
  const std::string sha = Sha256Text(big);
  const auto [status, map] = Get("/api/launcher/blockmap/" + sha);
  ASSERT_EQ(status, 200);
  EXPECT_EQ(manifest["files"][0]["blockmap"], nlohmann::json({{"size", map.size()}, {"sha256", Sha256Text(map)}}));
  Blockmap read;
  EXPECT_EQ(ReadBlockmap(map, big.size(), sha, &read), BlockmapFault::kNone);
  EXPECT_FALSE(manifest["files"][1].contains("blockmap"));
  for (const std::string& path :
       {"/api/launcher/blockmap/" + Sha256Text(std::string(4194303, 's')), "/api/launcher/blockmap/" + Sha256Text("x"),
        std::string("/api/launcher/blockmap/"), "/api/launcher/blockmap/" + sha + "/x"}) {
    EXPECT_EQ(Get(path).first, 404) << path;
  }

  // A restart takes hash and map from the cache without reading the file again.
  RealmConfig config;
  std::string error;
  ASSERT_TRUE(LoadRealmConfig(root_, &config, &error));
  Site again(root_, config);
  ASSERT_TRUE(again.Refresh(&error)) << error;
  EXPECT_EQ(again.hashed_count(), 0u);
  ASSERT_NE(again.Current()->FindBlockmap(sha), nullptr);
  EXPECT_EQ(*again.Current()->FindBlockmap(sha), map);

  std::ostringstream out, err;
  const std::string exported = base_ + "/static";
  const char* argv[] = {"realm-site", "export", "--root", root_.c_str(), "--out", exported.c_str()};
  ASSERT_EQ(RunRealmSite(6, argv, out, err), 0) << err.str();
  EXPECT_TRUE(Read(exported + "/api/launcher/blockmap/" + sha) == map);
  EXPECT_EQ(Read(exported + "/api/launcher/manifest"), Get("/api/launcher/manifest").second);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(exported + "/api/launcher/blockmap"), {}), 1);
}

TEST_F(ServerTest, AnswersNotFoundForAnythingTheManifestDoesNotList) {
  Write("files/a.txt", "a");
  Write("secret.txt", "operator only");
  Start();
  for (const char* path : {"/api/launcher/file/../realm.json", "/api/launcher/file/%2e%2e/secret.txt",
                           "/api/launcher/file/%2E%2E%2Frealm.json", "/api/launcher/file/A.TXT", "/api/launcher/file/",
                           "/api/launcher/file//etc/passwd", "/launcher/download", "/realm.json", "/files/a.txt"}) {
    EXPECT_EQ(Get(path).first, 404) << path;
  }
  auto upload = client_->Post("/api/launcher/logs", std::string("PK\x03\x04", 4), "application/octet-stream");
  ASSERT_TRUE(upload);
  EXPECT_EQ(upload->status, 400);  // a zip signature alone is not an archive
  EXPECT_EQ(client_->Delete("/api/launcher/manifest")->status, 405);
}

TEST_F(ServerTest, ANulOrAPathTheLauncherWouldRefuseNeverGetsAnotherFilesBytes) {
  Write("files/Game.exe", "MZ game");
  Write("files/Data/a.mpq", "data a");
  Write("files/odd%00.txt", "a name with a percent sign");
  Write("launcher/VantrelLauncher.exe", "MZ build");
  Start();
  std::string archive;
  ASSERT_TRUE(PackReport(nullptr, 0, false, &archive));
  auto stored = client_->Post("/api/launcher/logs", archive, "application/octet-stream");
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->status, 200) << stored->body;
  const std::string link = nlohmann::json::parse(stored->body)["url"];
  const std::string report = link.substr(link.find("/reports/"));
  ASSERT_EQ(Get(report).first, 200);
  ASSERT_EQ(Get("/api/launcher/file/odd%2500.txt").first, 200);

  // Cut at the NUL, each of these would name a route or file that exists.
  const std::string nul_paths[] = {"/api/launcher/file/Game.exe%00.txt", "/api/launcher/file/Data/a.mpq%00",
                                   "/api/launcher/manifest%00.json",     "/launcher/download%00",
                                   "/client-pack/gateway.reg%00",        report + "%00",
                                   report + "/download%00.zip",          "/reports%00"};
  for (const std::string& path : nul_paths) {
    EXPECT_EQ(Get(path).first, 400) << path;
    EXPECT_EQ(client_->Head(path.c_str())->status, 400) << path;
  }
  auto upload = client_->Post("/api/launcher/logs%00.zip", archive, "application/octet-stream");
  ASSERT_TRUE(upload);
  EXPECT_EQ(upload->status, 400);
  // Forms the launcher refuses in a manifest path, and spellings Windows would read as Game.exe.
  for (const char* path : {"Game.exe.", "Game.exe%20", "game.exe", "Data%5Ca.mpq", "Data//a.mpq", "./Game.exe",
                           "Data/./a.mpq", "Data/../Game.exe", "Z:Game.exe", "Game.exe%01", "Game.exe%0A",
                           "%7FGame.exe", "Game.exe%FF", "Game.exe%C3%A9", "Data/a.mpq/", "Game.exe::$DATA"}) {
    EXPECT_EQ(Get(std::string("/api/launcher/file/") + path).first, 404) << path;
  }
}

TEST_F(ServerTest, RangeIsAnsweredRightOrNotAtAll) {
  std::string data(1048576, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 8));
  Write("files/a.bin", data);
  Start();
  auto part = client_->Get("/api/launcher/file/a.bin", {{"Range", "bytes=1000-1999"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 1000-1999/1048576");
  EXPECT_EQ(part->body, data.substr(1000, 1000));
  auto tail = client_->Get("/api/launcher/file/a.bin", {{"Range", "bytes=-10"}});
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->status, 206);
  EXPECT_EQ(tail->body, data.substr(data.size() - 10));

  auto past = client_->Get("/api/launcher/file/a.bin", {{"Range", "bytes=5000000-"}});
  ASSERT_TRUE(past);
  EXPECT_EQ(past->status, 416);
  EXPECT_EQ(past->get_header_value("Content-Range"), "bytes */1048576");
  // Several ranges, thousands of them included, get the whole file once.
  std::string many = "bytes=0-";
  for (int i = 0; i < 2700; ++i) many += ",0-";
  auto whole = client_->Get("/api/launcher/file/a.bin", {{"Range", many}});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 200);
  EXPECT_TRUE(whole->body == data);
  // A Range for another version of the file is ignored.
  auto other = client_->Get("/api/launcher/file/a.bin", {{"Range", "bytes=0-9"}, {"If-Range", "\"old\""}});
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200);
}

TEST(RangeHeader, FollowsTheByteRangeRules) {
  uint64_t first = 0;
  uint64_t length = 0;
  EXPECT_EQ(EvaluateRange("bytes=0-0", 10, &first, &length), RangeVerdict::kPartial);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(EvaluateRange("bytes=5-100", 10, &first, &length), RangeVerdict::kPartial);
  EXPECT_EQ(first, 5u);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(EvaluateRange("bytes=-100", 10, &first, &length), RangeVerdict::kPartial);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(EvaluateRange("bytes=3-99999999999999999999999", 10, &first, &length), RangeVerdict::kPartial);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(EvaluateRange("bytes=10-", 10, &first, &length), RangeVerdict::kUnsatisfiable);
  EXPECT_EQ(EvaluateRange("bytes=99999999999999999999999-", 10, &first, &length), RangeVerdict::kUnsatisfiable);
  EXPECT_EQ(EvaluateRange("bytes=-0", 10, &first, &length), RangeVerdict::kUnsatisfiable);
  EXPECT_EQ(EvaluateRange("bytes=0-", 0, &first, &length), RangeVerdict::kUnsatisfiable);
  for (const char* ignored : {"bytes=5-3", "bytes=0-1,2-3", "items=0-1", "bytes=a-b", "bytes=-", "bytes 0-1"}) {
    EXPECT_EQ(EvaluateRange(ignored, 10, &first, &length), RangeVerdict::kWhole) << ignored;
  }
}

TEST_F(ServerTest, WatcherPublishesChangesAndNoFileIsServedUnderAnOldHash) {
  Write("files/a.txt", "first");
  Start();
  std::ostringstream log;
  site_->StartWatching(log);
  EXPECT_EQ(Get("/api/launcher/file/late.txt").first, 404);
  Write("files/Data/late.txt", "late");
  Write("launcher/VantrelLauncher.exe", "MZ new build");
  ASSERT_TRUE(WaitForManifest([](const nlohmann::json& m) {
    return m["files"].size() == 2 && !m["launcher"].is_null();
  })) << log.str();
  EXPECT_EQ(Get("/api/launcher/file/Data/late.txt"), std::make_pair(200, std::string("late")));
  EXPECT_EQ(Get("/launcher/download"), std::make_pair(200, std::string("MZ new build")));

  // Rewritten in place: until the rescan publishes the new hash, the old one must not be
  // paired with the new bytes.
  const uint64_t hashed = site_->hashed_count();
  site_->StopWatching();
  Write("files/a.txt", "second version");
  EXPECT_EQ(Get("/api/launcher/file/a.txt").first, 503);
  site_->StartWatching(log);
  ASSERT_TRUE(WaitForManifest([](const nlohmann::json& m) {
    return m["files"][1]["sha256"] == Sha256Text("second version");
  })) << log.str();
  EXPECT_EQ(Get("/api/launcher/file/a.txt"), std::make_pair(200, std::string("second version")));
  // Asking for the manifest never rescans: nothing changed, nothing is hashed.
  const uint64_t after = site_->hashed_count();
  for (int i = 0; i < 20; ++i) Get("/api/launcher/manifest");
  EXPECT_EQ(site_->hashed_count(), after);
  EXPECT_GT(after, hashed);
}

TEST(ListenAddress, ParsesHostAndPort) {
  ListenAddress address;
  std::string error;
  ASSERT_TRUE(ParseListen("127.0.0.1:8080", &address, &error));
  EXPECT_EQ(address.host, "127.0.0.1");
  EXPECT_EQ(address.port, 8080);
  ASSERT_TRUE(ParseListen("[::1]:0", &address, &error));
  EXPECT_EQ(address.host, "::1");
  for (const char* bad : {"127.0.0.1", ":80", "host:", "host:65536", "host:-1", "host:8o"}) {
    EXPECT_FALSE(ParseListen(bad, &address, &error)) << bad;
  }
}

}  // namespace
}  // namespace vantrel::site
