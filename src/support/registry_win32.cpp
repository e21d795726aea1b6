#include <windows.h>

#include "support/os.h"
#include "support/registry.h"
#include "support/win_text.h"

namespace vantrel::os {
namespace {

class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() { RegCloseKey(key_); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY key_;
};

}  // namespace

uint32_t ReadUserMultiString(std::string_view key, std::string_view value, std::u16string* units) {
  std::wstring wide_key, wide_value;
  if (!ToWide(key, &wide_key) || !ToWide(value, &wide_value)) return kErrorNoUnicodeTranslation;
  HKEY handle = nullptr;
  LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, wide_key.c_str(), 0, KEY_QUERY_VALUE, &handle);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  KeyCloser closer(handle);

  // First learn the type and size, then read into a buffer of exactly that size.
  DWORD type = 0, size = 0;
  result = RegQueryValueExW(handle, wide_value.c_str(), nullptr, &type, nullptr, &size);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  if (type != REG_MULTI_SZ) return kErrorDatatypeMismatch;
  if (size < 2) return kErrorInvalidData;
  std::u16string data(size / 2, u'\0');
  DWORD got = static_cast<DWORD>(data.size() * 2);
  result = RegQueryValueExW(handle, wide_value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  if (type != REG_MULTI_SZ) return kErrorDatatypeMismatch;
  data.resize(got / 2 < data.size() ? got / 2 : data.size());
  *units = std::move(data);
  return kOk;
}

}  // namespace vantrel::os
