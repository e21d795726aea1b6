#pragma once
// Small text helpers shared by every layer: numbers, size texts, trimming, ASCII case.
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

// Unsigned decimal without separators.
std::string Decimal(uint64_t value);

// Whole unsigned decimal number (digits only, no sign, no blanks) that fits 64 or 32 bits.
bool ParseU64(std::string_view text, uint64_t* value);
bool ParseU32(std::string_view text, uint32_t* value);

// "1023 bytes", "1 KB", "1.5 MB": the byte count as the player sees it (cut, never rounded).
// Empty if the text would not fit its 32-byte buffer.
std::string SizeText(uint64_t bytes);

// Returns `text` when it fits in `capacity` bytes, else an empty text (the fallback of a
// composed text whose buffer is too small).
std::string FitOrEmpty(std::string text, size_t capacity);
std::string FitOr(std::string text, size_t capacity, std::string_view fallback);

std::string_view TrimChars(std::string_view text, std::string_view chars);
inline std::string_view TrimSpaces(std::string_view text) { return TrimChars(text, " "); }

char AsciiLower(char c);
std::string AsciiLowered(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);
inline bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool IsAsciiAlnum(unsigned char c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The part of a path after its last "\" or "/".
std::string_view LastPathComponent(std::string_view path);

}  // namespace vantrel
