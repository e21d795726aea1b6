#include "support/text.h"

namespace vantrel {

std::string Decimal(uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::string out;
  out.reserve(n);
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

bool ParseU64(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (!IsAsciiDigit(static_cast<unsigned char>(c))) return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseU32(std::string_view text, uint32_t* value) {
  uint64_t wide = 0;
  if (!ParseU64(text, &wide) || wide > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(wide);
  return true;
}

std::string SizeText(uint64_t bytes) {
  std::string out;
  if (bytes < 1024) {
    out = Decimal(bytes) + " bytes";
  } else if (bytes < 1048576) {
    out = Decimal(bytes >> 10) + " KB";
  } else {
    const uint64_t tenth = ((bytes & 0xFFFFF) * 10) >> 20;
    out = Decimal(bytes >> 20) + "." + Decimal(tenth) + " MB";
  }
  return FitOrEmpty(std::move(out), 32);
}

std::string FitOrEmpty(std::string text, size_t capacity) {
  if (text.size() > capacity) return std::string();
  return text;
}

std::string FitOr(std::string text, size_t capacity, std::string_view fallback) {
  if (text.size() > capacity) return std::string(fallback);
  return text;
}

std::string_view TrimChars(std::string_view text, std::string_view chars) {
  const size_t first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return std::string_view();
  const size_t last = text.find_last_not_of(chars);
  return text.substr(first, last - first + 1);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string_view LastPathComponent(std::string_view path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace vantrel
