#include "realm-site/realm_config.h"

#include <gtest/gtest.h>

#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

std::string ErrorOf(std::string_view text) {
  RealmConfig config;
  std::string error;
  EXPECT_FALSE(ParseRealmConfig(text, &config, &error)) << text;
  return error;
}

TEST(RealmConfig, ReadsEveryKeyAndFillsDefaults) {
  RealmConfig config;
  std::string error;
  ASSERT_TRUE(ParseRealmConfig(R"({"realm": "Ash", "address": "play.ash", "site": "http://ash", "revision": "r7",
      "start": {"args": "-direct -txt"}, "news": "Ladder reset", "operator_token": "long-enough-t0ken", "report_quota_mib": 10,
      "extra_gateways": [{"address": "other.gw", "zone": "-5", "name": "Other"}]})",
                               &config, &error))
      << error;
  EXPECT_EQ(config.exe, "Diablo II.exe");
  EXPECT_EQ(config.args, "-direct -txt");
  EXPECT_EQ(config.gateway_name, "Ash");  // the realm name stands in
  EXPECT_EQ(config.gateway_zone, "0");
  ASSERT_EQ(config.extra_gateways.size(), 1u);
  EXPECT_EQ(config.extra_gateways[0].zone, "-5");
  EXPECT_EQ(config.operator_token, "long-enough-t0ken");
  EXPECT_EQ(config.report_quota_mib, 10u);

  ASSERT_TRUE(ParseRealmConfig(R"({"address": "gw.only"})", &config, &error));
  EXPECT_EQ(config.gateway_name, "gw.only");
}

TEST(RealmConfig, RefusesWhatTheLauncherWouldRefuseNamingTheKey) {
  EXPECT_NE(ErrorOf(R"({"realm": "x"})").find("\"address\""), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": ")" + std::string(121, 'a') + "\"}").find("\"address\""), std::string::npos);
  RealmConfig config;
  std::string error;
  EXPECT_TRUE(ParseRealmConfig(R"({"address": ")" + std::string(120, 'a') + "\"}", &config, &error));
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": {"exe": "../Game.exe"}})").find("\"exe\""), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": {"exe": "Game.bat"}})").find("\"exe\""), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": {"args": "-a & del"}})").find("\"args\""), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": {"args": "-a\t-b"}})").find("\"args\""), std::string::npos);
  // A short token falls to guessing; a quota of nothing would refuse every report.
  EXPECT_NE(ErrorOf(R"({"address": "a", "operator_token": "fifteen-chars!!"})").find("15 characters"),
            std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "report_quota_mib": 0})").find("report_quota_mib"), std::string::npos);
  // A NUL would split the player's gateway list.
  EXPECT_NE(ErrorOf(R"({"address": "a\u0000b"})").find("control"), std::string::npos);
  // Crash messages leave the machine only encrypted, or stay on it.
  for (const char* hook : {"http://chat.example.org/hook", "ftp://x", "http://127.0.0.1@evil.example/",
                           "http://127.0.0.1.evil.example/", "http://[::2]/", "https://"}) {
    EXPECT_NE(ErrorOf(std::string(R"({"address": "a", "report_webhook": ")") + hook + "\"}").find("report_webhook"),
              std::string::npos)
        << hook;
  }
  for (const char* hook : {"https://chat.example.org/api/webhooks/1/x", "http://127.0.0.1:8080/hook",
                           "http://localhost/h", "http://[::1]:9/h"}) {
    EXPECT_TRUE(
        ParseRealmConfig(std::string(R"({"address": "a", "report_webhook": ")") + hook + "\"}", &config, &error))
        << hook << ": " << error;
  }
}

TEST(RealmConfig, RefusesMalformedDocuments) {
  EXPECT_NE(ErrorOf("{").find("valid JSON"), std::string::npos);
  EXPECT_NE(ErrorOf("[]").find("object"), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "address": "b"})").find("\"address\" is given twice"), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": {"exe": "A.exe", "exe": "B.exe"}})").find("twice"), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "adress": "b"})").find("\"adress\""), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": 5})").find("\"address\" must be a string"), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"address": "a", "start": "Game.exe"})").find("\"start\""), std::string::npos);
  EXPECT_FALSE(ErrorOf(R"({"address": "a", "extra_gateways": [{"zone": "1"}]})").empty());
}

using RealmConfigFile = RealmFolder;

TEST_F(RealmConfigFile, ErrorsNameTheFile) {
  RealmConfig config;
  std::string error;
  EXPECT_TRUE(LoadRealmConfig(root_, &config, &error)) << error;
  Write("realm.json", "{\"realm\": ");
  EXPECT_FALSE(LoadRealmConfig(root_, &config, &error));
  EXPECT_NE(error.find(root_ + "/realm.json: it isn't valid JSON"), std::string::npos) << error;
  std::filesystem::remove(root_ + "/realm.json");
  EXPECT_FALSE(LoadRealmConfig(root_, &config, &error));
  EXPECT_NE(error.find(root_ + "/realm.json is missing"), std::string::npos) << error;
}

}  // namespace
}  // namespace vantrel::site
