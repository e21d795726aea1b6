#include "realm-site/export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "realm-site/cli.h"
#include "realm-site/gateway_reg.h"
#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

class ExportTest : public RealmFolder {
 protected:
  // Runs the command line as the tool would; returns the exit code.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "realm-site");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    out_.str("");
    err_.str("");
    return RunRealmSite(static_cast<int>(argv.size()), argv.data(), out_, err_);
  }
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(ExportTest, WritesTheSameAnswersAsStaticFiles) {
  Write("files/Game.exe", "game");
  Write("files/Data/Local/x.dll", "dll");
  Write("launcher/VantrelLauncher.exe", "MZ");
  const std::string out = base_ + "/static";
  ASSERT_EQ(Run({"export", "--root", root_, "--out", out}), 0) << err_.str();

  RealmConfig config;
  std::string error;
  ASSERT_TRUE(LoadRealmConfig(root_, &config, &error));
  Site site(root_, config);
  ASSERT_TRUE(site.Refresh(&error));
  EXPECT_EQ(Read(out + "/api/launcher/manifest"), site.Current()->manifest);
  EXPECT_EQ(Read(out + "/api/launcher/file/Data/Local/x.dll"), "dll");
  EXPECT_EQ(Read(out + "/api/launcher/file/Game.exe"), "game");
  EXPECT_EQ(Read(out + "/launcher/download"), "MZ");
  EXPECT_EQ(Read(out + "/client-pack/gateway.reg"), GatewayRegFile(config));

  // Exporting again over the earlier export drops what the realm no longer has.
  std::filesystem::remove(root_ + "/files/Data/Local/x.dll");
  std::filesystem::remove(root_ + "/launcher/VantrelLauncher.exe");
  ASSERT_EQ(Run({"export", "--root", root_, "--out", out}), 0) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(out + "/api/launcher/file/Data/Local/x.dll"));
  EXPECT_FALSE(std::filesystem::exists(out + "/launcher/download"));
}

TEST_F(ExportTest, ReExportNeverShowsAMissingOrHalfWrittenAnswer) {
  const std::string a(300000, 'a');
  const std::string b(200000, 'b');
  Write("files/Game.exe", "game");
  Write("files/Data/x.mpq", a);
  const std::string out = base_ + "/static";
  ASSERT_EQ(Run({"export", "--root", root_, "--out", out}), 0) << err_.str();
  struct stat before {};
  ASSERT_EQ(stat((out + "/api/launcher/file/Game.exe").c_str(), &before), 0);

  std::atomic<bool> done{false};
  std::string export_error;
  std::thread exporter([&] {
    for (int i = 0; i < 6 && export_error.empty(); ++i) {
      Write("files/Data/x.mpq", i % 2 == 0 ? b : a);
      std::ostringstream quiet_out;
      std::ostringstream errors;
      const char* argv[] = {"realm-site", "export", "--root", root_.c_str(), "--out", out.c_str()};
      if (RunRealmSite(6, argv, quiet_out, errors) != 0) export_error = errors.str();
    }
    done = true;
  });
  // What a web server serving the folder sees meanwhile: always a whole manifest naming
  // files that are there, each one version or the other, never a mix.
  int looks = 0;
  while (!done) {
    const std::string manifest = Read(out + "/api/launcher/manifest");
    ASSERT_TRUE(nlohmann::json::accept(manifest)) << manifest.size();
    const std::string file = Read(out + "/api/launcher/file/Data/x.mpq");
    ASSERT_TRUE(file == a || file == b) << file.size();
    ASSERT_EQ(Read(out + "/api/launcher/file/Game.exe"), "game");
    ++looks;
  }
  exporter.join();
  EXPECT_EQ(export_error, "");
  EXPECT_GT(looks, 0);
  EXPECT_TRUE(Read(out + "/api/launcher/file/Data/x.mpq") == a);  // the last version written
  // Unchanged files are linked from the last export, not copied again.
  struct stat after {};
  ASSERT_EQ(stat((out + "/api/launcher/file/Game.exe").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_FALSE(std::filesystem::exists(out + "/.realm-site-next"));
}

TEST_F(ExportTest, RefusesFoldersItWouldDamage) {
  Write("files/Game.exe", "game");
  const std::string foreign = base_ + "/someone-elses";
  std::filesystem::create_directories(foreign);
  std::ofstream(foreign + "/index.html") << "keep me";
  EXPECT_EQ(Run({"export", "--root", root_, "--out", foreign}), 1);
  EXPECT_NE(err_.str().find("isn't empty"), std::string::npos) << err_.str();
  EXPECT_EQ(Read(foreign + "/index.html"), "keep me");

  EXPECT_EQ(Run({"export", "--root", root_, "--out", root_ + "/files/out"}), 1);
  EXPECT_NE(err_.str().find("outside the realm folder"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(root_ + "/files/out"));
}

TEST_F(ExportTest, CommandLineExplainsItself) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("realm-site serve"), std::string::npos);
  EXPECT_EQ(Run({"serve"}), 2);
  EXPECT_NE(err_.str().find("--root"), std::string::npos);
  EXPECT_EQ(Run({"publish", "--root", root_}), 2);
  EXPECT_EQ(Run({"export", "--root", root_}), 2);
  EXPECT_NE(err_.str().find("--out"), std::string::npos);
  EXPECT_EQ(Run({"serve", "--root", root_, "--tls-cert", "site.pem"}), 2);
  EXPECT_NE(err_.str().find("--tls-key"), std::string::npos);
  EXPECT_EQ(Run({"serve", "--root", root_, "--listen", "127.0.0.1:0", "--tls-cert", root_ + "/realm.json", "--tls-key",
                 root_ + "/realm.json"}),
            1);
  EXPECT_NE(err_.str().find("aren't a PEM certificate"), std::string::npos) << err_.str();
  // A realm folder without realm.json is refused before anything listens.
  std::filesystem::remove(root_ + "/realm.json");
  EXPECT_EQ(Run({"serve", "--root", root_, "--listen", "127.0.0.1:0"}), 1);
  EXPECT_NE(err_.str().find("realm.json is missing"), std::string::npos) << err_.str();
  // So is a realm whose files the launcher would refuse.
  Write("realm.json", R"({"address": "a"})");
  Write("files/AUX.dat", "x");
  EXPECT_EQ(Run({"serve", "--root", root_, "--listen", "127.0.0.1:0"}), 1);
  EXPECT_NE(err_.str().find("files/AUX.dat"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace vantrel::site
