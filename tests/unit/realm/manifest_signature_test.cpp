// The launcher's judgement of a manifest signature, over signatures made by realm-site's
// signer: each verdict, key rotation, and the trusted comment's form.
#include "realm/manifest_signature.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "realm-site/signing.h"
#include "test_support.h"

namespace vantrel {
namespace {

constexpr std::string_view kManifest = "{\"address\":\"play.test\",\"files\":[]}";
constexpr uint64_t kNow = 1800000000;

struct Signer {
  testing::TempDir dir;
  std::unique_ptr<site::ManifestSigner> signer;
  Signer() {
    MinisignKey unused;
    std::string error;
    EXPECT_TRUE(site::GenerateKeyPair(dir.path(), &unused, &error)) << error;
    signer = site::ManifestSigner::Load(dir / site::kSecretKeyFile, &error);
    EXPECT_TRUE(signer) << error;
  }
  FetchResult Answer(uint64_t serial, uint64_t expires, std::string_view manifest = kManifest) const {
    FetchResult answer;
    answer.status = 200;
    answer.body = signer->Sign(manifest, serial, expires);
    return answer;
  }
};

SignatureVerdict Verdict(const std::vector<MinisignKey>& keys, const FetchResult& answer, uint64_t highest = 0,
                         std::string_view manifest = kManifest) {
  return JudgeManifestSignature(keys, answer, manifest, highest, kNow).verdict;
}

TEST(ManifestSignature, TrustedCommentHasOneForm) {
  EXPECT_EQ(ManifestTrustedComment(12, 1800000000), "vantrel-manifest serial=12 expires=1800000000");
  uint64_t serial = 0, expires = 0;
  ASSERT_TRUE(ParseManifestTrustedComment("vantrel-manifest serial=18446744073709551615 expires=0", &serial, &expires));
  EXPECT_EQ(serial, UINT64_MAX);
  EXPECT_EQ(expires, 0u);
  for (std::string_view bad :
       {"vantrel-manifest serial=1", "vantrel-manifest serial= expires=2", "vantrel-manifest serial=1 expires=2 ",
        "vantrel-manifest serial=-1 expires=2", "vantrel-manifest serial=18446744073709551616 expires=2",
        "timestamp:1800000000\tfile:manifest", "vantrel-manifest  serial=1 expires=2"}) {
    EXPECT_FALSE(ParseManifestTrustedComment(bad, &serial, &expires)) << bad;
  }
}

TEST(ManifestSignature, AcceptsTheRealmsOwnUpToItsExpiryAndRecordsTheSerial) {
  const Signer realm;
  const SignatureJudgement judgement = JudgeManifestSignature(std::vector<MinisignKey>{realm.signer->PublicKey()},
                                                              realm.Answer(41, kNow), kManifest, 41, kNow);
  EXPECT_EQ(judgement.verdict, SignatureVerdict::kAccepted);  // same serial again, last second
  EXPECT_EQ(judgement.serial, 41u);
  EXPECT_EQ(Verdict({realm.signer->PublicKey()}, realm.Answer(41, kNow - 1), 0), SignatureVerdict::kExpired);
  EXPECT_EQ(Verdict({realm.signer->PublicKey()}, realm.Answer(40, kNow + 99), 41), SignatureVerdict::kReplayed);
  // An old list that has also expired is told as a replay: that is the more likely attack.
  EXPECT_EQ(Verdict({realm.signer->PublicKey()}, realm.Answer(40, 5), 41), SignatureVerdict::kReplayed);
}

TEST(ManifestSignature, AnotherKeyOrOtherBytesAreTampering) {
  const Signer realm, stranger, next;
  const std::vector<MinisignKey> stamped = {realm.signer->PublicKey(), next.signer->PublicKey()};
  EXPECT_EQ(Verdict(stamped, stranger.Answer(1, kNow + 60)), SignatureVerdict::kTampered);
  std::string altered(kManifest);
  altered[2] = 'A';
  EXPECT_EQ(Verdict(stamped, realm.Answer(1, kNow + 60), 0, altered), SignatureVerdict::kTampered);
  // Rotation: the second stamped key is as good as the first.
  EXPECT_EQ(Verdict(stamped, next.Answer(1, kNow + 60)), SignatureVerdict::kAccepted);
}

TEST(ManifestSignature, MissingOrUnreadableIsUnsigned) {
  const Signer realm;
  const std::vector<MinisignKey> keys = {realm.signer->PublicKey()};
  FetchResult answer = realm.Answer(1, kNow + 60);
  answer.status = 404;
  EXPECT_EQ(Verdict(keys, answer), SignatureVerdict::kUnsigned);
  answer = FetchResult{200, "", HttpError::kTooLarge};
  EXPECT_EQ(Verdict(keys, answer), SignatureVerdict::kUnsigned);
  answer = FetchResult{200, "<html>not found</html>", HttpError::kNone};
  EXPECT_EQ(Verdict(keys, answer), SignatureVerdict::kUnsigned);
}

}  // namespace
}  // namespace vantrel
