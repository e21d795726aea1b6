#pragma once
// A text of at most 600 bytes of UTF-8, stored inline; every writer cuts to the capacity.
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

inline constexpr uint32_t kFixedTextCapacity = 600;

struct FixedText {
  uint32_t length = 0;
  char bytes[kFixedTextCapacity] = {};

  void Set(std::string_view text) {
    length = static_cast<uint32_t>(text.size() < kFixedTextCapacity ? text.size() : kFixedTextCapacity);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = text[i];
  }
  void Clear() { length = 0; }
  bool Empty() const { return length == 0; }
  std::string_view View() const { return std::string_view(bytes, length); }
  std::string Copy() const { return std::string(bytes, length); }
};

}  // namespace vantrel
