#include "game/gateways.h"

#include <cstdint>

#include "support/text.h"
#include "support/utf.h"

namespace vantrel {

bool SplitMultiString(std::u16string_view data, std::vector<std::string>* strings) {
  strings->clear();
  size_t start = 0;
  while (start < data.size()) {
    const size_t end = data.find(u'\0', start);
    if (end == std::u16string_view::npos) break;  // unterminated tail: not a whole string
    if (end == start) break;                      // the empty string closes the list
    std::string utf8;
    if (!Utf16ToUtf8(data.substr(start, end - start), &utf8)) return false;
    strings->push_back(std::move(utf8));
    start = end + 1;
  }
  return true;
}

GatewayCheck EvaluateGateways(const std::vector<std::string>& strings, std::string_view realm_game_address) {
  GatewayCheck check;
  if (strings.size() < 2) return check;
  uint32_t selected = 0;
  const bool has_selection = ParseU32(TrimSpaces(strings[1]), &selected);
  const std::string_view wanted = TrimSpaces(realm_game_address);
  bool remembered = false;
  for (size_t k = 0; 4 + 3 * k < strings.size(); ++k) {
    if (!EqualsNoCase(TrimSpaces(strings[2 + 3 * k]), wanted)) continue;
    // Selection 0 names no gateway; compare as k + 1 so it can't wrap.
    if (has_selection && k + 1 == selected) {
      check.outcome = GatewayOutcome::kSelected;
      check.display_name.clear();
      return check;
    }
    if (!remembered) {
      remembered = true;
      check.display_name = strings[4 + 3 * k];
    }
  }
  check.outcome = remembered ? GatewayOutcome::kListed : GatewayOutcome::kMissing;
  return check;
}

}  // namespace vantrel
