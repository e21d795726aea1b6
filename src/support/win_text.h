#pragma once
// Windows-only glue: UTF-8 <-> wide text at each call into the system.
#include <windows.h>

#include <string>
#include <string_view>

#include "support/utf.h"

namespace vantrel {

inline bool ToWide(std::string_view utf8, std::wstring* out) {
  std::u16string wide;
  if (!Utf8ToUtf16(utf8, &wide)) return false;
  out->assign(wide.begin(), wide.end());
  return true;
}

inline bool FromWide(const wchar_t* text, size_t length, std::string* out) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length), out);
}

// Closes a kernel handle on every path out.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~HandleCloser() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace vantrel
