// The report console through the real server, with uploads packed by the launcher's own zip
// writer and sent with its headers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "realm-site/console_model.h"
#include "realm-site/crash_signature.h"
#include "realm-site/report_index.h"
#include "realm-site/reports.h"
#include "report/zip.h"
#include "unit/site/minidump_builder.h"
#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

using Json = nlohmann::json;
constexpr const char* kToken = "console-token-0123456789";

std::string Summary(const std::string& build, const std::string& file_set) {
  return "Launcher " + build + " for http://realm.test\nWindows 10.0 build 19045\nRealm: Test at play.test\n" +
         "File set: " + file_set + "\nGame folder: C:\\Games\nStarts: Game.exe \nLast check: Up to date. \n" +
         "Other files in this upload: 2\n";
}

std::string Wer(const std::string& identifier, const std::string& module, const std::string& offset) {
  return "Version=1\r\nEventType=APPCRASH\r\nSig[0].Value=Game.exe\r\nSig[3].Value=" + module +
         "\r\nSig[6].Value=c0000005\r\nSig[7].Value=" + offset + "\r\nReportIdentifier=" + identifier + "\r\n";
}

class ConsoleSite : public RealmFolder {
 protected:
  void Start(const std::string& webhook = "") {
    server_.reset();
    reports_.reset();
    config_ = RealmConfig();
    config_.realm = "Test Realm";
    config_.operator_token = kToken;
    config_.revision = "r2";
    config_.report_webhook = webhook;
    reports_ = std::make_unique<Reports>(root_, config_);
    std::string error;
    ASSERT_TRUE(reports_->Open(&error)) << error;
    ServeLimits limits;
    limits.trust_proxy = true;  // each upload names its own address, past the per-address cap
    server_ = std::make_unique<HttpServer>(limits);
    reports_->AddRoutes(*server_);
    ASSERT_TRUE(server_->Start(ListenAddress{"127.0.0.1", 0, "", ""}, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
  }
  void TearDown() override {
    server_.reset();
    reports_.reset();
    RealmFolder::TearDown();
  }
  std::string Upload(const std::vector<ReportEntry>& entries, const std::string& account, const std::string& note) {
    std::string archive;
    EXPECT_TRUE(PackReport(entries.data(), static_cast<uint32_t>(entries.size()), true, &archive));
    const httplib::Headers headers = {
        {"X-Account", account}, {"X-Note", note}, {"X-Real-IP", "10.0.0." + std::to_string(++uploads_)}};
    auto answer = client_->Post("/api/launcher/logs", headers, archive, "application/octet-stream");
    EXPECT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "no answer");
    if (!answer) return "";
    const std::string url = Json::parse(answer->body)["url"];
    return url.substr(url.rfind('/') + 1);
  }
  httplib::Result Get(const std::string& path) {
    return client_->Get(path.c_str(), {{"Authorization", std::string("Bearer ") + kToken}});
  }
  Json GetJson(const std::string& path) {
    auto answer = Get(path);
    EXPECT_TRUE(answer && answer->status == 200) << path;
    return answer ? Json::parse(answer->body) : Json();
  }
  static const Json* Find(const Json& groups, const std::string& signature) {
    for (const Json& group : groups["groups"]) {
      if (group["signature"] == signature) return &group;
    }
    return nullptr;
  }

  RealmConfig config_;
  std::unique_ptr<Reports> reports_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<httplib::Client> client_;
  int uploads_ = 0;
};

TEST_F(ConsoleSite, GroupsCountACrashOnceAndEveryReportThatHoldsIt) {
  Start();
  const std::string access = "c0000005 in d2client.dll+0x1a2b0";
  const ReportEntry wer{"crash/AppCrash_Game.exe_1f2e/Report.wer.txt", Wer("AAAA-1", "D2Client.dll", "0x0001A2B0"), 0};
  // A dump beside a Report.wer is the same crash, not a record of its own.
  const ReportEntry wer_dump{"crash/AppCrash_Game.exe_1f2e/memory.hdmp", "not read", 1};
  Upload({wer, wer_dump, {"launcher.txt", Summary("0a1b2c3d", "r1"), 0}}, "Mira", "crashed in act 2");
  Upload({wer, {"launcher.txt", Summary("0a1b2c3d", "r2"), 0}}, "Mira", "again");  // the same crash sent again
  Upload({{"crash/AppCrash_Game.exe_77/Report.wer.txt", Wer("BBBB-2", "d2client.dll", "1a2b0"), 0},
          {"launcher.txt", Summary("0a1b2c3d", "r2"), 0}},
         "Olaf", "");
  MinidumpBuilder dump;
  dump.exception_address = 0x6FAB1234;
  dump.modules = {{0x6FAB0000, 0x10000, u"C:\\Games\\Storm.dll"}};
  Upload({{"crash/Game.exe.812.dmp", dump.Build(), 1}, {"launcher.txt", Summary("99aabbcc", "r2"), 0}}, "", "");
  Upload({{"game/net.log", "fine", 0}, {"launcher.txt", Summary("99aabbcc", "r2"), 0}}, "Nobody", "no crash");
  Upload({{"crash/AppCrash_Game.exe_9/Report.wer.txt", "\x01garbage", 0}}, "", "");

  const Json groups = GetJson("/reports/groups.json");
  ASSERT_EQ(groups["groups"].size(), 4u) << groups.dump();
  EXPECT_EQ(groups["page"], 1);
  EXPECT_EQ(groups["pages"], 1);
  const Json& top = groups["groups"][0];  // most crashes first
  EXPECT_EQ(top["signature"], access);
  EXPECT_EQ(top["id"], GroupId(access));
  EXPECT_EQ(top["crashes"], 2);
  EXPECT_EQ(top["reports"], 3);
  EXPECT_EQ(top["accounts"], 2);
  EXPECT_EQ(top["file_sets"], Json::array({"r1", "r2"}));
  EXPECT_EQ(top["launchers"], Json::array({"0a1b2c3d"}));
  EXPECT_EQ(top["new"], false);
  EXPECT_EQ(std::string(top["first"]).size(), 20u);
  const Json* storm = Find(groups, "c0000005 in storm.dll+0x1234");
  ASSERT_NE(storm, nullptr);
  EXPECT_EQ((*storm)["new"], true);  // seen only on the realm's current file set
  EXPECT_EQ((*storm)["accounts"], 0);
  const Json* none = Find(groups, std::string(kNoCrashReport));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ((*none)["crashes"], 0);
  EXPECT_EQ((*none)["reports"], 1);
  ASSERT_NE(Find(groups, std::string(kUnreadableCrash)), nullptr);

  // Filters: file set, launcher build, search over account, note and signature.
  Json filtered = GetJson("/reports/groups.json?file_set=r1");
  ASSERT_EQ(filtered["groups"].size(), 1u);
  EXPECT_EQ(filtered["groups"][0]["reports"], 1);
  EXPECT_EQ(GetJson("/reports/groups.json?launcher=99aabbcc")["groups"].size(), 2u);
  filtered = GetJson("/reports/groups.json?q=OLAF");
  ASSERT_EQ(filtered["groups"].size(), 1u);
  EXPECT_EQ(filtered["groups"][0]["reports"], 1);
  EXPECT_EQ(GetJson("/reports/groups.json?q=act+2")["groups"][0]["reports"], 1);
  EXPECT_EQ(GetJson("/reports/groups.json?q=STORM.dll")["groups"].size(), 1u);
  EXPECT_EQ(GetJson("/reports/groups.json?days=1&q=nothing-like-it")["groups"].size(), 0u);
  EXPECT_EQ(Get("/reports/groups.json?page=0")->status, 400);

  const Json group = GetJson("/reports/group/" + GroupId(access) + ".json");
  EXPECT_EQ(group["group"]["reports"], 3);
  ASSERT_EQ(group["reports"].size(), 3u);
  EXPECT_EQ(group["reports"][0]["account"], "Olaf");  // newest first
  EXPECT_EQ(group["reports"][2]["note"], "crashed in act 2");
  EXPECT_EQ(group["reports"][2]["windows"], "Windows 10.0 build 19045");
  EXPECT_EQ(group["reports"][2]["launcher"], "0a1b2c3d");
  EXPECT_EQ(Get("/reports/group/0123456789abcdef.json")->status, 404);

  // The console is the operator's, and no answer of it may run script.
  auto page = Get("/reports");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<svg"), std::string::npos);
  EXPECT_NE(page->body.find(access), std::string::npos);
  for (const std::string& path :
       std::vector<std::string>{"/reports", "/reports/groups.json", "/reports/group/" + GroupId(access)}) {
    auto refused = client_->Get(path.c_str());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401) << path;
    EXPECT_EQ(refused->get_header_value("Content-Security-Policy").find("default-src 'none'"), 0u) << path;
    EXPECT_EQ(Get(path)->get_header_value("Content-Security-Policy").find("default-src 'none'"), 0u) << path;
  }
}

TEST_F(ConsoleSite, ReportPageShowsTextsInlineEscapedAndItsCrashes) {
  Start();
  const std::string hostile = "<script>document.title='x'</script><img src=x onerror=alert(1)>";
  const std::string id = Upload({{"game/net.log", "line " + hostile, 0},
                                 {"game/long.log", std::string(300000, 'a') + "TAIL", 0},
                                 {"crash/AppCrash_Game.exe_1/Report.wer.txt", Wer("C-1", hostile, "10"), 0}},
                                hostile, hostile);
  auto page = client_->Get(("/reports/" + id).c_str());  // the player's private link: no token
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("<script"), std::string::npos);
  EXPECT_EQ(page->body.find("<img"), std::string::npos);
  EXPECT_NE(page->body.find("line &lt;script&gt;document.title=&#39;x&#39;&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page->body.find("Cut at 256 KiB"), std::string::npos);
  EXPECT_EQ(page->body.find("TAIL"), std::string::npos);
  const std::string signature = "c0000005 in <script>document.title='x'</script><img src=x onerror=alert(1)>+0x10";
  EXPECT_NE(page->body.find("/reports/group/" + GroupId(signature)), std::string::npos);
  EXPECT_EQ(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), 0u);
  for (const std::string& path : std::vector<std::string>{"/reports", "/reports/group/" + GroupId(signature)}) {
    const std::string body = Get(path)->body;
    EXPECT_EQ(body.find("<script"), std::string::npos) << path;
    EXPECT_NE(body.find("&lt;script&gt;"), std::string::npos) << path;
  }
}

TEST_F(ConsoleSite, TheIndexIsRebuiltWhenMissingOrDamagedAndFollowsTheFolders) {
  Start();
  const std::string first = Upload({{"crash/Game.exe.1.dmp", "not a dump", 1}}, "a", "");
  Upload({{"game/x.log", "x", 0}}, "b", "");
  const std::string index = root_ + "/reports/" + kIndexName;
  ASSERT_TRUE(std::filesystem::exists(index));
  server_.reset();
  reports_.reset();
  std::filesystem::remove(index + "-wal");
  std::filesystem::remove(index + "-shm");
  Write("reports/" + std::string(kIndexName), "this is not a database, whatever its name says");
  testing::internal::CaptureStderr();
  Start();
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("is damaged"), std::string::npos) << said;
  EXPECT_EQ(GetJson("/reports/groups.json")["groups"].size(), 2u);

  // A report pruned while the server was down leaves the index at the next start.
  server_.reset();
  reports_.reset();
  std::filesystem::remove_all(root_ + "/reports/" + first);
  testing::internal::CaptureStderr();
  Start();
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("listed 1 that are gone"), std::string::npos) << said;
  const Json groups = GetJson("/reports/groups.json");
  ASSERT_EQ(groups["groups"].size(), 1u);
  EXPECT_EQ(groups["groups"][0]["signature"], kNoCrashReport);

  server_.reset();
  reports_.reset();
  std::filesystem::remove(index);
  IndexCounts counts;
  std::string error;
  ASSERT_TRUE(RebuildIndex(root_ + "/reports", nullptr, &counts, &error)) << error;
  EXPECT_EQ(counts.reports, 1u);
  EXPECT_TRUE(std::filesystem::exists(index));
  EXPECT_FALSE(std::filesystem::exists(index + ".new"));
}

TEST_F(ConsoleSite, TheWebhookHearsOfANewGroupOnce) {
  httplib::Server hook;
  std::mutex lock;
  std::vector<std::string> heard;
  hook.Post("/hook", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> guard(lock);
    heard.push_back(request.body);
    response.status = 204;
  });
  const int port = hook.bind_to_any_port("127.0.0.1");
  std::thread serving([&hook] { hook.listen_after_bind(); });
  Start("http://127.0.0.1:" + std::to_string(port) + "/hook");
  const ReportEntry wer{"crash/AppCrash_Game.exe_1/Report.wer.txt", Wer("D-1", "Fog.dll", "0x20"), 0};
  const auto heard_count = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return heard.size();
  };
  Upload({wer}, "a", "");
  for (int i = 0; i < 100 && heard_count() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Upload({wer}, "b", "");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  hook.stop();
  serving.join();
  ASSERT_EQ(heard.size(), 1u);
  const Json message = Json::parse(heard[0]);
  EXPECT_EQ(message.size(), 1u);
  EXPECT_EQ(message["content"].get<std::string>().find("New crash on Test Realm: `c0000005 in fog.dll+0x20`"), 0u);
}

// A surge: more than 10 crashes in the hour and five times the week's hourly average.
TEST(ConsoleAlerts, ASurgeIsToldOncePerHour) {
  const int64_t now = 1800000000;
  ConsoleModel model("r1");
  int serial = 0;
  const auto add = [&](int64_t at) {
    ReportFacts facts;
    char id[33];
    snprintf(id, sizeof id, "%016x%016x", ++serial, 7u);
    facts.id = id;
    facts.received = at;
    facts.records.push_back(CrashRecord{"crash/x", "sig", GroupId("sig"), "key" + std::to_string(serial)});
    model.Add(facts);
    return facts;
  };
  // A steady 3 crashes an hour for a week: 12 in the last hour is more than 10 but not 5x.
  for (int hour = 1; hour <= 168; ++hour) {
    for (int i = 1; i <= 3; ++i) add(now - 3600 - hour * 3600 + i * 10);
  }
  ReportFacts last;
  for (int i = 0; i < 12; ++i) last = add(now - 100 - i);
  EXPECT_TRUE(model.AlertsFor(last, {}, now).empty());

  ConsoleModel quiet("r1");
  std::swap(model, quiet);
  for (int hour = 1; hour <= 168; hour += 24) add(now - 3600 - hour * 3600);
  for (int i = 0; i < 10; ++i) last = add(now - 100 - i);
  EXPECT_TRUE(model.AlertsFor(last, {}, now).empty());  // 10 is not past 10
  last = add(now - 50);
  const std::vector<Alert> alerts = model.AlertsFor(last, {}, now);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_FALSE(alerts[0].first_seen);
  EXPECT_EQ(alerts[0].last_hour, 11u);
  model.MarkAlerted(alerts[0].group, now);
  for (int i = 0; i < 11; ++i) last = add(now + 3500 + i);
  EXPECT_TRUE(model.AlertsFor(last, {}, now + 3599).empty());
  EXPECT_EQ(model.AlertsFor(last, {}, now + 3600).size(), 1u);
}

}  // namespace
}  // namespace vantrel::site
