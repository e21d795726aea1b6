// realm-site's signing key and signer against the real minisign command, both ways, and the
// serial store.
#include "realm-site/signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "realm-site/catalog.h"
#include "realm-site/cli.h"
#include "realm-site/export.h"
#include "realm/manifest_signature.h"
#include "test_support.h"
#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

constexpr std::string_view kManifest = "{\"realm\":\"R\",\"address\":\"play.test\",\"files\":[]}\n";

bool Minisign(const std::string& arguments) {
  return std::system(("minisign " + arguments + " >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

std::unique_ptr<ManifestSigner> LoadOk(const std::string& path) {
  std::string error;
  std::unique_ptr<ManifestSigner> signer = ManifestSigner::Load(path, &error);
  EXPECT_TRUE(signer) << error;
  return signer;
}

std::string LoadError(const std::string& path) {
  std::string error;
  EXPECT_FALSE(ManifestSigner::Load(path, &error));
  return error;
}

TEST(Signing, KeygenMakesAPairWhoseSignaturesMinisignAccepts) {
  testing::TempDir dir;
  const std::string keys = dir / "keys";
  std::ostringstream out, err;
  const char* argv[] = {"realm-site", "keygen", "--out", keys.c_str()};
  ASSERT_EQ(RunRealmSite(4, argv, out, err), 0) << err.str();
  struct stat st {};
  ASSERT_EQ(stat((keys + "/realm.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::unique_ptr<ManifestSigner> signer = LoadOk(keys + "/realm.key");
  MinisignKey published;
  ASSERT_EQ(ParseMinisignKey(testing::ReadFile(keys + "/realm.pub"), &published), MinisignError::kNone);
  EXPECT_EQ(published.id, signer->PublicKey().id);
  EXPECT_EQ(published.public_key, signer->PublicKey().public_key);
  EXPECT_NE(out.str().find(KeyIdText(published.id)), std::string::npos);

  testing::WriteFile(dir / "manifest", std::string(kManifest));
  testing::WriteFile(dir / "manifest.minisig", signer->Sign(kManifest, 5, 4102444800));
  EXPECT_TRUE(Minisign("-V -p " + keys + "/realm.pub -m " + dir / "manifest"));
  testing::WriteFile(dir / "manifest", std::string(kManifest) + " ");
  EXPECT_FALSE(Minisign("-V -p " + keys + "/realm.pub -m " + dir / "manifest"));

  // A second keygen never replaces a key.
  const std::string secret = testing::ReadFile(keys + "/realm.key");
  MinisignKey unused;
  std::string error;
  EXPECT_FALSE(GenerateKeyPair(keys, &unused, &error));
  EXPECT_NE(error.find("already exists"), std::string::npos);
  EXPECT_EQ(testing::ReadFile(keys + "/realm.key"), secret);
}

TEST(Signing, LoadsMinisignKeysWithoutPasswordAndRefusesTheRest) {
  testing::TempDir dir;
  ASSERT_TRUE(Minisign("-G -W -p " + dir / "m.pub -s " + dir / "m.key"));
  const std::unique_ptr<ManifestSigner> signer = LoadOk(dir / "m.key");
  testing::WriteFile(dir / "manifest", std::string(kManifest));
  testing::WriteFile(dir / "manifest.minisig", signer->Sign(kManifest, 1, 4102444800));
  EXPECT_TRUE(Minisign("-V -p " + dir / "m.pub -m " + dir / "manifest"));

  // The same layout with a password's key derivation named, a damaged secret half, a public key.
  const std::string text = testing::ReadFile(dir / "m.key");
  const size_t line = text.find('\n') + 1;
  std::string raw;
  ASSERT_TRUE(Base64Decode(text.substr(line, text.size() - line - 1), &raw));
  const auto write_raw = [&](const std::string& name, std::string bytes) {
    testing::WriteFile(
        dir / name,
        text.substr(0, line) + Base64Encode({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}) + "\n");
    return dir / name;
  };
  std::string encrypted = raw;
  encrypted.replace(2, 2, "Sc");
  EXPECT_NE(LoadError(write_raw("encrypted.key", encrypted)).find("password"), std::string::npos);
  std::string damaged = raw;
  damaged[70] ^= 1;
  EXPECT_NE(LoadError(write_raw("damaged.key", damaged)).find("damaged"), std::string::npos);
  EXPECT_NE(LoadError(dir / "m.pub").find("public key"), std::string::npos);
  EXPECT_NE(LoadError(dir / "missing.key").find("can't read"), std::string::npos);
}

TEST(Signing, TheLauncherAcceptsWhatMinisignSigns) {
  testing::TempDir dir;
  ASSERT_TRUE(Minisign("-G -W -p " + dir / "m.pub -s " + dir / "m.key"));
  MinisignKey key;
  ASSERT_EQ(ParseMinisignKey(testing::ReadFile(dir / "m.pub"), &key), MinisignError::kNone);
  testing::WriteFile(dir / "manifest", std::string(kManifest));
  const auto judge = [&](const std::string& extra) {
    EXPECT_TRUE(Minisign("-S -s " + dir / "m.key -m " + dir / "manifest" + extra));
    const FetchResult answer{200, testing::ReadFile(dir / "manifest.minisig"), HttpError::kNone};
    return JudgeManifestSignature(std::vector<MinisignKey>{key}, answer, kManifest, 0, 1800000000);
  };
  const SignatureJudgement judgement = judge(" -t 'vantrel-manifest serial=1800000000 expires=1900000000'");
  EXPECT_EQ(judgement.verdict, SignatureVerdict::kAccepted);
  EXPECT_EQ(judgement.serial, 1800000000u);
  EXPECT_EQ(judge(" -l -t 'vantrel-manifest serial=1 expires=1900000000'").verdict, SignatureVerdict::kAccepted);
  // Signed, but with minisign's own comment: no serial or expiry to hold it to.
  EXPECT_EQ(judge("").verdict, SignatureVerdict::kUnsigned);
}

TEST(Signing, SerialsRiseAcrossRestartsAndKeepUpWithTheClock) {
  testing::TempDir root;
  uint64_t serial = 0;
  std::string error;
  ASSERT_TRUE(NextSerial(root.path(), 100, &serial, &error)) << error;
  EXPECT_EQ(serial, 100u);
  ASSERT_TRUE(NextSerial(root.path(), 100, &serial, &error));
  EXPECT_EQ(serial, 101u);
  ASSERT_TRUE(NextSerial(root.path(), 50, &serial, &error));  // a clock set back never goes below
  EXPECT_EQ(serial, 102u);
  ASSERT_TRUE(NextSerial(root.path(), 5000, &serial, &error));
  EXPECT_EQ(serial, 5000u);
  EXPECT_EQ(testing::ReadFile(root / ".realm-site-serial"), "5000\n");

  // A damaged store is refused rather than restarted low, and left for the operator.
  testing::WriteFile(root / ".realm-site-serial", "50x0\n");
  EXPECT_FALSE(NextSerial(root.path(), 100, &serial, &error));
  EXPECT_NE(error.find("damaged"), std::string::npos);
  EXPECT_EQ(testing::ReadFile(root / ".realm-site-serial"), "50x0\n");
  EXPECT_FALSE(NextSerial(root / "missing", 100, &serial, &error));
}

class SignedRealm : public RealmFolder {};

// Every published manifest carries a signature of exactly its bytes, with a serial that rises
// when the files change and when a signature past half its life is replaced; an export writes
// it for nginx, and a realm that stops signing doesn't leave the old one behind.
TEST_F(SignedRealm, EveryManifestIsSignedAndSignedAgainBeforeItExpires) {
  Write("files/Game.exe", "game");
  ASSERT_TRUE(Minisign("-G -W -p " + base_ + "/m.pub -s " + base_ + "/m.key"));
  MinisignKey key;
  ASSERT_EQ(ParseMinisignKey(Read(base_ + "/m.pub"), &key), MinisignError::kNone);
  RealmConfig config;
  std::string error;
  ASSERT_TRUE(LoadRealmConfig(root_, &config, &error)) << error;
  Site site(root_, config);
  site.SignWith(LoadOk(base_ + "/m.key"), 2);
  const auto judged = [&] {
    std::shared_ptr<const Catalog> catalog = site.Current();
    const FetchResult answer{200, catalog->manifest_signature, HttpError::kNone};
    return JudgeManifestSignature(std::vector<MinisignKey>{key}, answer, catalog->manifest, 0, UnixNow());
  };

  ASSERT_TRUE(site.Refresh(&error)) << error;
  const SignatureJudgement first = judged();
  EXPECT_EQ(first.verdict, SignatureVerdict::kAccepted);
  const std::string first_signature = site.Current()->manifest_signature;
  ASSERT_TRUE(site.Refresh(&error));
  EXPECT_EQ(site.Current()->manifest_signature, first_signature);  // fresh and unchanged: kept

  Write("files/Data.mpq", "data");
  ASSERT_TRUE(site.Refresh(&error)) << error;
  const SignatureJudgement changed = judged();
  EXPECT_EQ(changed.verdict, SignatureVerdict::kAccepted);
  EXPECT_GT(changed.serial, first.serial);

  sleep(2);  // past half of its 2-second life
  const std::string manifest = site.Current()->manifest;
  ASSERT_TRUE(site.Refresh(&error)) << error;
  EXPECT_EQ(site.Current()->manifest, manifest);
  EXPECT_EQ(judged().verdict, SignatureVerdict::kAccepted);
  EXPECT_GT(judged().serial, changed.serial);

  const std::string out = base_ + "/static";
  ASSERT_TRUE(ExportSite(site, out, &error)) << error;
  ASSERT_EQ(Read(out + "/api/launcher/manifest"), site.Current()->manifest);
  EXPECT_TRUE(Minisign("-V -p " + base_ + "/m.pub -m " + out + "/api/launcher/manifest"));
  Site unsigned_site(root_, config);
  ASSERT_TRUE(ExportSite(unsigned_site, out, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(out + "/api/launcher/manifest.minisig"));
}

}  // namespace
}  // namespace vantrel::site
