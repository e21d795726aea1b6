#include "realm-site/server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

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
    ConfigureRoutes(server_, *site_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Stopping a server whose loop hasn't started yet leaves the loop running for good.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }
  void TearDown() override {
    server_.stop();
    if (thread_.joinable()) thread_.join();
    RealmFolder::TearDown();
  }
  // Status and body of a GET; the path goes out exactly as written.
  std::pair<int, std::string> Get(const std::string& path) {
    auto answer = client_->Get(path.c_str());
    if (!answer) return {0, ""};
    return {answer->status, answer->body};
  }

  httplib::Server server_;
  std::unique_ptr<Site> site_;
  std::unique_ptr<httplib::Client> client_;
  std::thread thread_;
  int port_ = 0;
};

TEST_F(ServerTest, ServesManifestFilesAndGatewayFile) {
  std::string big(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
  Write("files/Data/big.mpq", big);
  Write("files/Game Folder/My Game.exe", "exe");
  Start();

  auto [status, body] = Get("/api/launcher/manifest");
  ASSERT_EQ(status, 200);
  const auto manifest = nlohmann::json::parse(body);
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

TEST_F(ServerTest, AnswersNotFoundForAnythingTheManifestDoesNotList) {
  Write("files/a.txt", "a");
  Write("secret.txt", "operator only");
  Start();
  // Added after the last manifest: not listed yet, so not served.
  Write("files/late.txt", "late");
  for (const char* path :
       {"/api/launcher/file/late.txt", "/api/launcher/file/../realm.json", "/api/launcher/file/%2e%2e/secret.txt",
        "/api/launcher/file/%2E%2E%2Frealm.json", "/api/launcher/file/A.TXT", "/api/launcher/file/",
        "/api/launcher/file//etc/passwd", "/launcher/download"}) {
    EXPECT_EQ(Get(path).first, 404) << path;
  }
  auto upload = client_->Post("/api/launcher/logs", std::string("PK\x03\x04", 4), "application/octet-stream");
  ASSERT_TRUE(upload);
  EXPECT_EQ(upload->status, 400);  // a zip signature alone is not an archive

  ASSERT_EQ(Get("/api/launcher/manifest").first, 200);
  EXPECT_EQ(Get("/api/launcher/file/late.txt"), std::make_pair(200, std::string("late")));
}

TEST_F(ServerTest, OffersTheLauncherBuildOnceItIsThere) {
  Start();
  EXPECT_EQ(Get("/launcher/download").first, 404);
  Write("launcher/VantrelLauncher.exe", "MZ new build");
  auto manifest = nlohmann::json::parse(Get("/api/launcher/manifest").second);
  EXPECT_EQ(manifest["launcher"]["sha256"], Sha256Text("MZ new build"));
  EXPECT_EQ(Get("/launcher/download"), std::make_pair(200, std::string("MZ new build")));
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
