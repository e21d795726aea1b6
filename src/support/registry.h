#pragma once
// Reading one REG_MULTI_SZ value of the current user's registry, read access only.
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::os {

inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorDatatypeMismatch = 1629;

// The value's raw UTF-16 units (returned size / 2). Windows error code, 0 on success;
// kErrorDatatypeMismatch for another type, kErrorInvalidData for data under 2 bytes.
uint32_t ReadUserMultiString(std::string_view key, std::string_view value, std::u16string* units);

}  // namespace vantrel::os
