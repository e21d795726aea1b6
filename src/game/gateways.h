#pragma once
// The game's Battle.net gateway list as the registry keeps it, and where the realm's
// gateway stands in it: selected, listed under another selection, or missing.
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

enum class GatewayOutcome { kSelected, kListed, kMissing };

struct GatewayCheck {
  GatewayOutcome outcome = GatewayOutcome::kMissing;
  std::string display_name;  // listed only: the name of the realm's first entry
};

// Splits REG_MULTI_SZ data into UTF-8 strings: each runs up to its NUL, an empty string
// ends the list and a last string without its NUL is dropped. False when a string isn't
// valid UTF-16 (the caller then treats the list as missing).
bool SplitMultiString(std::u16string_view data, std::vector<std::string>* strings);

// String 1 is the selected gateway's number (from 1); gateway k has its address at 2 + 3k
// and its display name at 4 + 3k. Addresses match after trimming spaces, ASCII case aside.
GatewayCheck EvaluateGateways(const std::vector<std::string>& strings, std::string_view realm_game_address);

}  // namespace vantrel
