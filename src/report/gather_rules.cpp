#include "report/gather_rules.h"

#include "support/text.h"

namespace vantrel {

bool IsDailyGameLog(std::string_view name) {
  if (name.size() != 12 || !StartsWithNoCase(name, "d2") || !EndsWithNoCase(name, ".txt")) return false;
  for (size_t i = 2; i < 8; ++i) {
    if (!IsAsciiDigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool IsLoaderLog(std::string_view name) {
  return EqualsNoCase(name, "d2loader.log") || EqualsNoCase(name, "BnetLog.txt");
}

bool IsOtherGameLog(std::string_view name) {
  return EndsWithNoCase(name, ".log") && !EqualsNoCase(name, "d2loader.log");
}

bool IsWerReportFolder(std::string_view name) {
  static constexpr std::string_view kPrefixes[] = {"AppCrash_Game.exe_", "AppCrash_Diablo II.exe_", "AppHang_Game.exe_",
                                                   "AppHang_Diablo II.exe_"};
  for (std::string_view prefix : kPrefixes) {
    if (name.size() > prefix.size() && StartsWithNoCase(name, prefix)) return true;
  }
  return false;
}

bool IsWerReportFile(std::string_view name) { return EqualsNoCase(name, "Report.wer"); }

bool IsWerDump(std::string_view name) {
  return EndsWithNoCase(name, ".mdmp") || EndsWithNoCase(name, ".dmp") || EndsWithNoCase(name, ".hdmp");
}

bool IsCrashDumpsFile(std::string_view name) {
  return (EndsWithNoCase(name, ".dmp") || EndsWithNoCase(name, ".mdmp")) &&
         (StartsWithNoCase(name, "Game.exe") || StartsWithNoCase(name, "Diablo II.exe"));
}

namespace {

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string DecodeUtf16Report(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
  }
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  std::string out;
  out.reserve(units + units / 2 + 3);
  for (size_t i = 0; i < units; ++i) {
    const uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  if (bytes.size() % 2 != 0) AppendUtf8(out, kReplacement);
  return out;
}

std::string SafeArchiveName(std::string_view anonymized_name) {
  std::string name(anonymized_name.substr(0, kArchiveNameMax));
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool unsafe = u < 0x20 || u > 0x7E || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
                        c == '>' || c == '|';
    if (unsafe) c = '_';
  }
  return name;
}

std::string ArchiveNames::Claim(const std::string& safe_name) {
  std::string name = safe_name;
  std::string lowered = AsciiLowered(name);
  for (uint64_t counter = 2; in_use_.count(lowered) != 0; ++counter) {
    name = safe_name + "~" + Decimal(counter);
    lowered = AsciiLowered(name);
  }
  in_use_.insert(std::move(lowered));
  return name;
}

}  // namespace vantrel
