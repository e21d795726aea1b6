#include "realm-site/crash_signature.h"

#include "support/sha256.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

std::string_view WithoutHexPrefix(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  return text;
}

// Lowercase hex without leading zeros ("0" for zero); empty when the text isn't hex.
std::string NormalHex(std::string_view text) {
  text = WithoutHexPrefix(text);
  if (text.empty()) return std::string();
  std::string out;
  for (char c : text) {
    const char lower = AsciiLower(c);
    if (!IsAsciiDigit(static_cast<unsigned char>(lower)) && (lower < 'a' || lower > 'f')) return std::string();
    if (out.empty() && lower == '0') continue;
    out.push_back(lower);
  }
  return out.empty() ? "0" : out;
}

std::string Hex(uint64_t value, size_t width) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (out.size() < width) out.insert(0, width - out.size(), '0');
  return out;
}

}  // namespace

std::string CrashText(std::string_view code, std::string_view module, std::string_view offset) {
  std::string normal_code = NormalHex(code);
  if (normal_code.empty() || normal_code.size() > 8) return std::string(kUnreadableCrash);
  normal_code.insert(0, 8 - normal_code.size(), '0');
  const std::string lower_module = AsciiLowered(module);
  if (lower_module.empty() || lower_module == "unknown" || StartsWithNoCase(lower_module, "stackhash_")) {
    return normal_code + " in unknown module";
  }
  const std::string normal_offset = NormalHex(offset);
  if (normal_offset.empty()) return std::string(kUnreadableCrash);
  return normal_code + " in " + lower_module + "+0x" + normal_offset;
}

std::string WerSignature(const WerReport& report) {
  const auto& sig = report.sig_value;
  if (EqualsNoCase(report.event_type, "APPCRASH")) {
    if (!report.has_sig[6]) return std::string(kUnreadableCrash);
    return CrashText(sig[6], sig[3], sig[7]);
  }
  if (EqualsNoCase(report.event_type, "BEX") || EqualsNoCase(report.event_type, "BEX64")) {
    if (!report.has_sig[7]) return std::string(kUnreadableCrash);
    return CrashText(sig[7], sig[3], sig[6]);
  }
  if (StartsWithNoCase(report.event_type, "AppHang")) {
    if (!report.has_sig[0] || sig[0].empty()) return std::string(kUnreadableCrash);
    return "hang in " + AsciiLowered(sig[0]) + " " + sig[1];
  }
  return std::string(kUnreadableCrash);
}

std::string WerSignatureOfText(std::string_view text) {
  WerReport report;
  if (!ReadWerReport(text, &report)) return std::string(kUnreadableCrash);
  return WerSignature(report);
}

std::string DumpSignature(std::string_view dump) {
  DumpFault fault;
  if (!ReadDumpFault(dump, &fault)) return std::string(kUnreadableCrash);
  const std::string code = Hex(fault.code, 8);
  if (!fault.in_module) return code + " in unknown module";
  return CrashText(code, fault.module, Hex(fault.offset, 1));
}

std::string GroupId(std::string_view signature) { return Sha256Text(signature).substr(0, 16); }

}  // namespace vantrel::site
