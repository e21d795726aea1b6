// Key and signature files as the minisign command writes them (made with minisign 0.11 for
// these tests), read and checked by the launcher's verifier.
#include "support/minisign.h"

#include <gtest/gtest.h>

#include <vector>

namespace vantrel {
namespace {

constexpr std::string_view kMessage = "{\"address\":\"play.test\"}\n";
constexpr std::string_view kKeyA =
    "untrusted comment: minisign public key 85580713F0DB828\n"
    "RWQouA0/cYBVCBgAiq/GxCcdU4qf/gh+GKrGTlgV8t06Hrso2PD5VE4b\n";
constexpr std::string_view kKeyB =
    "untrusted comment: minisign public key 899A1654E4EC6E28\n"
    "RWQobuzkVBaaiUXiCo0XUK1uafTWLdTYrfbKv5H3s93RmHEbvx+EBz0S\n";
// "ED": over BLAKE2b-512 of the message (minisign's default).
constexpr std::string_view kPrehashed =
    "untrusted comment: signature from minisign secret key\n"
    "RUQouA0/cYBVCJDSDGqo+ewrywjGUUoT1vTKuNoE5Bk5lEm11V36qxi31IiU90k2eNFt0wAVKCJ7ZVe7iHsGlKTn8YqIRPIMUwQ=\n"
    "trusted comment: vantrel-manifest serial=7 expires=4102444800\n"
    "4VKjvv2+D3db5Lph2ytbRL54TNtOsZYKzQUfz1cHG5m5x9sdYGsWW4dwNS+2bvJiEEBvJYHWBMDWwcvgNZF3AA==\n";
// "Ed": over the message itself (minisign -l).
constexpr std::string_view kLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWQouA0/cYBVCEuUSdYL3MWMdhkgSgLLs6dIgA/MNjK3BYWfabA5WCq0bB+A1iW4d3jb422GaFNssQlxueEeL3pa2V7Wb6ytSAw=\n"
    "trusted comment: vantrel-manifest serial=7 expires=4102444800\n"
    "SvtxyNklARz9iTp0QYWO0wJBIwfLTVel56lk5cpwFirT+LkJrVbIW+S01bCYLd3LjxEPz8tTOTglmzDidhsBCw==\n";

MinisignKey Key(std::string_view text) {
  MinisignKey key;
  EXPECT_EQ(ParseMinisignKey(text, &key), MinisignError::kNone);
  return key;
}

SignatureCheck Check(std::string_view signature_text, std::vector<MinisignKey> keys, std::string_view message) {
  MinisignSignature signature;
  EXPECT_EQ(ParseMinisignSignature(signature_text, &signature), MinisignError::kNone);
  return CheckMinisignSignature(signature, keys, message);
}

std::string Replace(std::string_view text, std::string_view from, std::string_view to) {
  std::string out(text);
  out.replace(out.find(from), from.size(), to);
  return out;
}

TEST(MinisignKey, ReadsTheFileOrItsLineAndWritesWhatMinisignWrites) {
  const MinisignKey key = Key(kKeyA);
  EXPECT_EQ(KeyIdText(key.id), "85580713F0DB828");
  EXPECT_EQ(FormatMinisignKey(key), kKeyA);
  const MinisignKey bare = Key("RWQouA0/cYBVCBgAiq/GxCcdU4qf/gh+GKrGTlgV8t06Hrso2PD5VE4b\r\n");
  EXPECT_EQ(bare.public_key, key.public_key);
  EXPECT_EQ(bare.id, key.id);
}

TEST(MinisignKey, RefusesAnythingElse) {
  MinisignKey key;
  const std::string line = "RWQouA0/cYBVCBgAiq/GxCcdU4qf/gh+GKrGTlgV8t06Hrso2PD5VE4b";
  EXPECT_EQ(ParseMinisignKey("", &key), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignKey("comment\n" + line, &key), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignKey(std::string(kKeyA) + "extra\n", &key), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignKey(Replace(line, "RWQ", "RW!"), &key), MinisignError::kBadBase64);
  EXPECT_EQ(ParseMinisignKey(" " + line, &key), MinisignError::kBadBase64);
  EXPECT_EQ(ParseMinisignKey(line.substr(0, 52), &key), MinisignError::kBadLength);
  EXPECT_EQ(ParseMinisignKey(line + "AAAA", &key), MinisignError::kBadLength);
  EXPECT_EQ(ParseMinisignKey(Replace(line, "RWQ", "RVQ"), &key), MinisignError::kBadAlgorithm);  // "EU"
}

TEST(Base64, DecodesOnlyCanonicalText) {
  std::string bytes;
  EXPECT_TRUE(Base64Decode("", &bytes));
  EXPECT_TRUE(Base64Decode("Zm9vYg==", &bytes));
  EXPECT_EQ(bytes, "foob");
  EXPECT_TRUE(Base64Decode("Zm9vYmE=", &bytes));
  EXPECT_EQ(bytes, "fooba");
  EXPECT_FALSE(Base64Decode("Zm9vYh==", &bytes));  // left-over bits set: a second spelling of "foob"
  EXPECT_FALSE(Base64Decode("Zm9vYg=", &bytes));
  EXPECT_FALSE(Base64Decode("Zm9v\nYg==", &bytes));
  EXPECT_FALSE(Base64Decode("Zg=a", &bytes));
  EXPECT_FALSE(Base64Decode("Z===", &bytes));
  const std::vector<uint8_t> all = {0, 1, 2, 0xfb, 0xff};
  EXPECT_TRUE(Base64Decode(Base64Encode(all), &bytes));
  EXPECT_EQ(bytes, std::string("\0\1\2\xfb\xff", 5));
}

TEST(MinisignSignature, BothAlgorithmsVerifyWithTheirKeyOnly) {
  for (std::string_view text : {kPrehashed, kLegacy}) {
    MinisignSignature signature;
    ASSERT_EQ(ParseMinisignSignature(text, &signature), MinisignError::kNone);
    EXPECT_EQ(signature.prehashed, text == kPrehashed);
    EXPECT_EQ(signature.trusted_comment, "vantrel-manifest serial=7 expires=4102444800");
    EXPECT_EQ(CheckMinisignSignature(signature, std::vector<MinisignKey>{Key(kKeyA)}, kMessage),
              SignatureCheck::kValid);
    // The second of two keys is found too.
    EXPECT_EQ(Check(text, {Key(kKeyB), Key(kKeyA)}, kMessage), SignatureCheck::kValid);
    EXPECT_EQ(Check(text, {Key(kKeyB)}, kMessage), SignatureCheck::kUnknownKey);
    EXPECT_EQ(Check(text, {}, kMessage), SignatureCheck::kUnknownKey);
  }
}

TEST(MinisignSignature, AnyChangedByteFailsTheCheck) {
  for (std::string_view text : {kPrehashed, kLegacy}) {
    std::string message(kMessage);
    message[5] ^= 1;
    EXPECT_EQ(Check(text, {Key(kKeyA)}, message), SignatureCheck::kBadSignature);
    EXPECT_EQ(Check(text, {Key(kKeyA)}, std::string(kMessage) + " "), SignatureCheck::kBadSignature);
    // The trusted comment is covered by the global signature.
    EXPECT_EQ(Check(Replace(text, "serial=7", "serial=8"), {Key(kKeyA)}, kMessage), SignatureCheck::kBadSignature);
    // A key with the right id but other key bytes.
    MinisignKey impostor = Key(kKeyB);
    impostor.id = Key(kKeyA).id;
    EXPECT_EQ(Check(text, {impostor}, kMessage), SignatureCheck::kBadSignature);
  }
  // One flipped bit inside the file signature itself.
  EXPECT_EQ(Check(Replace(kPrehashed, "JDSDGqo", "JDSDGqp"), {Key(kKeyA)}, kMessage), SignatureCheck::kBadSignature);
}

TEST(MinisignSignature, ReadsLineEndsLeniently) {
  std::string crlf;
  for (char c : kPrehashed) c == '\n' ? crlf += "\r\n" : crlf += c;
  EXPECT_EQ(Check(crlf, {Key(kKeyA)}, kMessage), SignatureCheck::kValid);
  std::string no_final(kPrehashed);
  no_final.pop_back();
  EXPECT_EQ(Check(no_final, {Key(kKeyA)}, kMessage), SignatureCheck::kValid);
}

TEST(MinisignSignature, RefusesBrokenFiles) {
  MinisignSignature signature;
  const std::string text(kPrehashed);
  const size_t second = text.find('\n') + 1;
  EXPECT_EQ(ParseMinisignSignature("", &signature), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignSignature(text.substr(second), &signature), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignSignature(text + "\n", &signature), MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "trusted comment: v", "trusted comment:v"), &signature),
            MinisignError::kBadLayout);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "RUQouA0", "RUQouA*"), &signature), MinisignError::kBadBase64);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "ZF3AA==", "ZF3AA="), &signature), MinisignError::kBadBase64);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "MUwQ=", "MUwQ=AAAA"), &signature), MinisignError::kBadBase64);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "8YqIRPIMUwQ=", "8Q=="), &signature), MinisignError::kBadLength);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "NZF3AA==", "AAAA"), &signature), MinisignError::kBadLength);
  EXPECT_EQ(ParseMinisignSignature(Replace(text, "RUQ", "RVQ"), &signature), MinisignError::kBadAlgorithm);
}

}  // namespace
}  // namespace vantrel
