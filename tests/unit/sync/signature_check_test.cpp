// A keyed launcher's update run against a loopback site that signs, forgets to sign, or is
// impersonated: nothing of a refused manifest is used, and the highest serial is kept.
#include "sync/signature_check.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "launcher/jobs.h"
#include "realm-site/signing.h"
#include "support/sha256.h"
#include "unit/sync/realm_server.h"
#include "unit/sync/run_fixture.h"
#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RunFixture;
using testing::WriteFile;

constexpr std::string_view kGameProgram = "MZ the game";
constexpr std::string_view kFile = "realm's dll";

std::string Manifest(std::string_view news) {
  return R"({"realm":"Signed Realm","address":"play.test:6112","news":")" + std::string(news) +
         R"(","files":[{"path":"a.dll","sha256":")" + Sha256Text(kFile) + R"(","size":11}]})";
}

std::unique_ptr<site::ManifestSigner> MakeSigner(const std::string& folder) {
  MinisignKey unused;
  std::string error;
  EXPECT_TRUE(site::GenerateKeyPair(folder, &unused, &error)) << error;
  return site::ManifestSigner::Load(folder + "/" + site::kSecretKeyFile, &error);
}

class SignedRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(temp / "game");
    fs::create_directories(temp / "settings");
    WriteFile(temp / "game/Diablo II.exe", kGameProgram);
    run.context.realm_address = server.Address();
    run.context.settings_folder = temp / "settings";
    run.state.game_folder.Set(temp / "game");
    realm = MakeSigner(temp / "realm-key");
    run.context.realm_keys.stamped = true;
    run.context.realm_keys.keys = {realm->PublicKey()};
    server.SetFile("a.dll", std::string(kFile));
  }

  // Serves `manifest` signed by `signer` with that serial and expiry; returns the finish line.
  std::string Run(const std::string& manifest, const site::ManifestSigner* signer, uint64_t serial, int64_t lifetime) {
    server.SetManifest(manifest);
    server.SetSignature(signer ? signer->Sign(manifest, serial, std::time(nullptr) + lifetime) : "");
    RunFixture::Clear();
    run.state.busy = true;
    RunUpdate(run.context);
    const auto finishes = RunFixture::TracesOf("finish");
    return finishes.empty() ? std::string() : finishes.back();
  }

  testing::TempFolder temp;
  testing::RealmServer server;
  RunFixture run;
  std::unique_ptr<site::ManifestSigner> realm;
};

TEST_F(SignedRunTest, NothingOfARefusedManifestIsUsedAndTheHighestSerialIsKept) {
  EXPECT_EQ(Run(Manifest("unsigned"), nullptr, 0, 0),
            "The realm's file list isn't signed | This launcher trusts only files signed by its realm. Try again "
            "later, or tell the realm's team. | ready=1");
  EXPECT_EQ(run.state.realm_name.View(), "");
  EXPECT_EQ(run.state.news.View(), "");
  EXPECT_EQ(server.FileRequests("a.dll"), 0);
  EXPECT_FALSE(fs::exists(temp / "settings/manifest-serial.txt"));

  EXPECT_EQ(Run(Manifest("ok"), realm.get(), 10, 600), "Updated | 1 file from the realm, 11 bytes. | ready=1");
  EXPECT_EQ(ReadFile(temp / "settings/manifest-serial.txt"), "10\r\n");
  EXPECT_FALSE(fs::exists(temp / "settings/manifest-serial.txt.tmp"));
  EXPECT_EQ(run.state.news.View(), "ok");

  EXPECT_EQ(Run(Manifest("replayed"), realm.get(), 9, 600),
            "The realm's file list is older than one already seen | Someone may be replaying an old list. Nothing "
            "was downloaded. | ready=1");
  EXPECT_EQ(run.state.news.View(), "ok");
  EXPECT_EQ(ReadFile(temp / "settings/manifest-serial.txt"), "10\r\n");
  EXPECT_EQ(server.FileRequests("a.dll"), 1);
  EXPECT_EQ(Run(Manifest("ok"), realm.get(), 10, 600), "Up to date | 1 files checked against the realm. | ready=1");
}

TEST_F(SignedRunTest, AnOversizedSignatureIsNoneAndAnUnkeyedLauncherNeverAsks) {
  server.SetManifest(Manifest("x"));
  server.SetSignature(std::string(kManifestSignatureLimit + 1, 'x'));
  RunUpdate(run.context);
  EXPECT_TRUE(RunFixture::Traced("finish: The realm's file list isn't signed"));
  EXPECT_EQ(server.SignatureRequests(), 1);

  run.context.realm_keys = RealmKeys();
  EXPECT_EQ(Run(Manifest("x"), nullptr, 0, 0), "Updated | 1 file from the realm, 11 bytes. | ready=1");
  EXPECT_EQ(server.SignatureRequests(), 1);
}

}  // namespace
}  // namespace vantrel
