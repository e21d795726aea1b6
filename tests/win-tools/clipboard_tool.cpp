// Test helper for the clipboard: "read" prints the Unicode text on it as UTF-8 (exit 1 when
// there is none); "hold <ms>" keeps it open for that long, as a busy program would.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"hold") == 0) {
    // Held through a window of its own: a clipboard opened without one can be reopened by
    // anyone else who also has none.
    HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (owner == nullptr || !OpenClipboard(owner)) return 2;
    std::fputs("holding\n", stdout);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    CloseClipboard();
    DestroyWindow(owner);
    return 0;
  }
  if (argc < 2 || std::wcscmp(argv[1], L"read") != 0) return 2;
  if (!OpenClipboard(nullptr)) return 2;
  int status = 1;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* text = static_cast<const wchar_t*>(GlobalLock(data))) {
      const int length = static_cast<int>(std::wcslen(text));
      std::string utf8(length * 4 + 1, '\0');
      const int size =
          WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
      utf8.resize(size > 0 ? size : 0);
      std::fwrite(utf8.data(), 1, utf8.size(), stdout);
      GlobalUnlock(data);
      status = 0;
    }
  }
  CloseClipboard();
  return status;
}
