#include "realm-site/gateway_reg.h"

#include "support/utf.h"

namespace vantrel::site {
namespace {

// Written into string 0 of the list; the launcher never reads it.
constexpr const char* kListMarker = "1000";

}  // namespace

std::vector<std::string> GatewayStrings(const RealmConfig& config) {
  std::vector<std::string> strings = {kListMarker, "1", config.address, config.gateway_zone, config.gateway_name};
  for (const Gateway& gateway : config.extra_gateways) {
    strings.push_back(gateway.address);
    strings.push_back(gateway.zone);
    strings.push_back(gateway.name);
  }
  return strings;
}

std::string BuildGatewayReg(const RealmConfig& config) {
  // REG_MULTI_SZ: each string UTF-16LE with its NUL, then one more NUL.
  std::u16string units;
  for (const std::string& text : GatewayStrings(config)) {
    std::u16string wide;
    if (!Utf8ToUtf16(text, &wide)) return std::string();
    units += wide;
    units.push_back(u'\0');
  }
  units.push_back(u'\0');

  static const char kHex[] = "0123456789abcdef";
  std::string out =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Battle.net\\Configuration]\r\n";
  std::string line = "\"Diablo II Battle.net Gateways\"=hex(7):";
  // Lines are wrapped with a trailing "\" the way the registry editor writes them.
  const size_t byte_count = units.size() * 2;
  for (size_t i = 0; i < byte_count; ++i) {
    const unsigned value = (i % 2 == 0) ? (units[i / 2] & 0xFF) : (units[i / 2] >> 8);
    line.push_back(kHex[value >> 4]);
    line.push_back(kHex[value & 15]);
    if (i + 1 < byte_count) {
      line.push_back(',');
      if (line.size() >= 76) {
        out += line + "\\\r\n";
        line = "  ";
      }
    }
  }
  out += line + "\r\n\r\n";
  return out;
}

std::string GatewayRegFile(const RealmConfig& config) {
  const std::string text = BuildGatewayReg(config);
  std::u16string wide;
  if (text.empty() || !Utf8ToUtf16(text, &wide)) return std::string();
  std::string out = "\xff\xfe";
  for (char16_t unit : wide) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

}  // namespace vantrel::site
