#include <windows.h>

#include <cstring>

#include "support/clipboard.h"
#include "support/win_text.h"

namespace vantrel::os {
namespace {

uint32_t LastErrorOr(uint32_t fallback) {
  const DWORD error = GetLastError();
  return error == 0 ? fallback : error;
}

}  // namespace

uint32_t SetClipboardText(WindowHandle owner, std::string_view utf8) {
  std::wstring wide;
  if (!ToWide(utf8, &wide)) return kErrorNoUnicodeTranslation;
  if (!OpenClipboard(static_cast<HWND>(owner))) return LastErrorOr(kErrorAccessDenied);
  EmptyClipboard();
  uint32_t error = kOk;
  const size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  void* locked = memory != nullptr ? GlobalLock(memory) : nullptr;
  if (locked == nullptr) {
    error = kErrorNotEnoughMemory;
    if (memory != nullptr) GlobalFree(memory);
  } else {
    std::memcpy(locked, wide.c_str(), bytes);
    GlobalUnlock(memory);
    // Once set, the memory belongs to the clipboard; only a refused handle is ours to free.
    if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
      error = LastErrorOr(kErrorGenFailure);
      GlobalFree(memory);
    }
  }
  CloseClipboard();
  return error;
}

}  // namespace vantrel::os
