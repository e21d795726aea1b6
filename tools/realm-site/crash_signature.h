#pragma once
// The signature of a crash record and the id of its group: a WER report read by field index
// (never by its localized names), or a dump's exception and the module that holds it. Pure.
#include <string>
#include <string_view>

#include "realm-site/minidump.h"
#include "realm-site/wer_report.h"

namespace vantrel::site {

inline constexpr std::string_view kUnreadableCrash = "unreadable crash report";
inline constexpr std::string_view kNoCrashReport = "no crash report";

// "<code> in <module>+0x<offset>", or "<code> in unknown module" for an empty, "unknown" or
// StackHash_ module; kUnreadableCrash when the code, or the offset of a known module, isn't hex.
std::string CrashText(std::string_view code, std::string_view module, std::string_view offset);

// APPCRASH, BEX/BEX64 and AppHang* reports; anything else is kUnreadableCrash.
std::string WerSignature(const WerReport& report);
std::string WerSignatureOfText(std::string_view text);
std::string DumpSignature(std::string_view dump);

// The first 16 hex digits of the SHA-256 of the signature text.
std::string GroupId(std::string_view signature);

}  // namespace vantrel::site
