#include "realm-site/gateway_reg.h"

#include <gtest/gtest.h>

#include "support/utf.h"

namespace vantrel::site {
namespace {

// Reads the hex(7) bytes back into the list of strings, as the registry would store them.
std::vector<std::string> DecodeValue(const std::string& reg) {
  const std::string marker = "\"Diablo II Battle.net Gateways\"=hex(7):";
  size_t at = reg.find(marker);
  EXPECT_NE(at, std::string::npos);
  std::string bytes;
  for (at += marker.size(); at < reg.size(); ++at) {
    const char c = reg[at];
    if (c == '\r' && reg.compare(at, 4, "\r\n\r\n") == 0) break;
    if (!isxdigit(static_cast<unsigned char>(c))) continue;
    bytes.push_back(static_cast<char>(std::stoi(reg.substr(at, 2), nullptr, 16)));
    ++at;
  }
  EXPECT_EQ(bytes.size() % 2, 0u);
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  // A multi-string ends with an empty string.
  EXPECT_GE(units.size(), 2u);
  EXPECT_EQ(units.substr(units.size() - 2), std::u16string(2, u'\0'));
  std::vector<std::string> strings;
  size_t start = 0;
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    if (units[i] != u'\0') continue;
    std::string text;
    EXPECT_TRUE(Utf16ToUtf8(units.substr(start, i - start), &text));
    strings.push_back(text);
    start = i + 1;
  }
  return strings;
}

TEST(GatewayReg, SetsTheRealmAsTheSelectedFirstGateway) {
  RealmConfig config;
  config.address = "play.realm.test";
  config.gateway_name =
      "R\xc3\xa9"
      "alm";  // non-ASCII goes out as UTF-16LE
  config.gateway_zone = "-8";
  config.extra_gateways.push_back({"keep.other", "1", "Kept"});
  const std::string reg = BuildGatewayReg(config);
  EXPECT_EQ(reg.rfind("Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Battle.net\\Configuration]\r\n",
                      0),
            0u);
  EXPECT_EQ(DecodeValue(reg), (std::vector<std::string>{"1000", "1", "play.realm.test", "-8",
                                                        "R\xc3\xa9"
                                                        "alm",
                                                        "keep.other", "1", "Kept"}));
  // Every line stays short enough for the registry editor; continuations end in "\".
  size_t start = 0;
  while (start < reg.size()) {
    const size_t end = reg.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "every line ends in CRLF";
    EXPECT_LE(end - start, 80u);
    start = end + 2;
  }
}

}  // namespace
}  // namespace vantrel::site
