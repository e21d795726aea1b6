#include "support/utf.h"

namespace vantrel {
namespace {

// Decodes one code point at `i`; returns false for any malformed sequence.
bool DecodeOne(std::string_view s, size_t* i, char32_t* cp) {
  const unsigned char b0 = static_cast<unsigned char>(s[*i]);
  if (b0 < 0x80) {
    *cp = b0;
    *i += 1;
    return true;
  }
  int extra;
  char32_t value;
  char32_t minimum;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, value = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, value = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, value = b0 & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (*i + static_cast<size_t>(extra) >= s.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[*i + k]);
    if ((b & 0xC0) != 0x80) return false;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *cp = value;
  *i += static_cast<size_t>(extra) + 1;
  return true;
}

}  // namespace

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out) {
  std::u16string result;
  result.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    if (!DecodeOne(utf8, &i, &cp)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(cp));
    }
  }
  *out = std::move(result);
  return true;
}

bool IsValidUtf8(std::string_view utf8) {
  size_t i = 0;
  char32_t cp;
  while (i < utf8.size()) {
    if (!DecodeOne(utf8, &i, &cp)) return false;
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view utf16, std::string* out) {
  std::string result;
  result.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      result.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  *out = std::move(result);
  return true;
}

}  // namespace vantrel
