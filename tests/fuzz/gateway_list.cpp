// Any registry data as the game's gateway list: splitting and judging never crash, a listed
// outcome names a display name that is in the list, and the game-start texts stay within 600
// bytes of valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "game/gateways.h"
#include "game/outcomes.h"
#include "support/fixed_text.h"
#include "support/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  if (size < 1) return 0;
  // The first byte says how many of the following bytes form the realm's address.
  const size_t address_size = data[0] < size - 1 ? data[0] : size - 1;
  const std::string address(reinterpret_cast<const char*>(data + 1), address_size);
  const uint8_t* rest = data + 1 + address_size;
  const size_t rest_size = size - 1 - address_size;
  std::u16string units(rest_size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(rest[2 * i] | (rest[2 * i + 1] << 8));

  std::vector<std::string> strings;
  if (!SplitMultiString(units, &strings)) return 0;
  for (const std::string& s : strings) {
    if (s.empty() || !IsValidUtf8(s)) std::abort();
  }
  const GatewayCheck check = EvaluateGateways(strings, address);
  if (check.outcome == GatewayOutcome::kListed) {
    bool found = false;
    for (size_t k = 4; k < strings.size(); k += 3) found = found || strings[k] == check.display_name;
    if (!found) std::abort();
    const StatusText text = StartedStatus(check, "");
    if (text.headline.size() > kFixedTextCapacity || !IsValidUtf8(text.headline)) std::abort();
  } else if (!check.display_name.empty()) {
    std::abort();
  }
  return 0;
}
