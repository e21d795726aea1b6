#include "realm/game_path.h"

#include "support/text.h"

namespace vantrel {

bool IsDeviceName(std::string_view part) {
  std::string_view stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  static constexpr std::string_view kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view name : kPlain) {
    if (EqualsNoCase(stem, name)) return true;
  }
  return stem.size() == 4 && (StartsWithNoCase(stem, "COM") || StartsWithNoCase(stem, "LPT")) &&
         IsAsciiDigit(static_cast<unsigned char>(stem[3]));
}

bool IsGamePath(std::string_view path) {
  if (path.empty() || path.size() > 200 || path.front() == '/') return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c > 0x7E) return false;
    switch (c) {
      case '"':
      case '*':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|': return false;
      default: break;
    }
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.back() == ' ' || part.back() == '.') return false;
    if (IsDeviceName(part)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace vantrel
