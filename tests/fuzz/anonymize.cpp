// The Anonymizer on arbitrary text and names: it must never crash, and its output can't be
// longer than its four passes could make it (a runaway rewrite would show up here).
#include "report/anonymize.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Up to three names, each a length byte and its bytes, then the text.
  std::vector<std::string> computers, users;
  size_t rules = 0;
  for (int i = 0; i < 3 && !input.empty(); ++i) {
    const size_t length = static_cast<uint8_t>(input[0]) % 16;
    input.remove_prefix(1);
    if (length > input.size()) break;
    (i == 0 ? computers : users).emplace_back(input.substr(0, length));
    if (length >= 2) ++rules;
    input.remove_prefix(length);
  }
  std::string out;
  if (!vantrel::Anonymize(input, computers, users, &out)) std::abort();

  double bound = static_cast<double>(input.size());
  size_t lines = 1;
  for (char c : input) lines += c == '\n';
  bound += 9.0 * static_cast<double>(lines);        // " [hidden]" per labelled line
  bound += 5.0 * (bound / 8.0 + 1.0);               // "[user]" for at least 8 bytes of prefix and name
  for (size_t i = 0; i < rules; ++i) bound *= 5.0;  // "[computer]" for a 2-byte name
  bound += 8.0 * (bound / 7.0 + 1.0);               // "[local address]" for "1.1.1.1"
  if (static_cast<double>(out.size()) > bound) std::abort();

  std::string again;
  if (!vantrel::Anonymize(input, computers, users, &again) || again != out) std::abort();
  return 0;
}
