#pragma once
// UTF-8 <-> UTF-16 conversion. Both directions refuse malformed input (invalid or overlong
// UTF-8, encoded surrogates, unpaired UTF-16 surrogates) rather than guess.
#include <string>
#include <string_view>

namespace vantrel {

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);
bool Utf16ToUtf8(std::u16string_view utf16, std::string* out);
bool IsValidUtf8(std::string_view utf8);

}  // namespace vantrel
