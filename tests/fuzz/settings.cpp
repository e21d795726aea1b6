// Any bytes as settings.txt: reading never crashes, keeps the folder within 600 bytes, and a
// saved file reads back to the same values.
#include "launcher/settings.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  const Settings first = ParseSettings(std::string_view(reinterpret_cast<const char*>(data), size));
  if (first.game_dir.size() > kFixedTextCapacity) std::abort();
  // A cut folder may end in a blank that the next reading trims; everything else must survive.
  if (!first.game_dir.empty() && (first.game_dir.back() == ' ' || first.game_dir.back() == '\t')) return 0;
  const Settings again = ParseSettings(FormatSettings(first.game_dir, first.windowed));
  if (again.game_dir != first.game_dir || again.windowed != first.windowed) std::abort();
  return 0;
}
