// Test helper: posts a message (number in decimal or 0x hex) with both parameters 0 to every
// top-level window of the given class, as the worker does. Exits 1 when no such window exists.
#include <windows.h>

#include <cwchar>

static int g_posted = 0;
static UINT g_message = 0;

static BOOL CALLBACK PostTo(HWND window, LPARAM class_name) {
  wchar_t name[256];
  if (GetClassNameW(window, name, 256) && lstrcmpW(name, reinterpret_cast<const wchar_t*>(class_name)) == 0) {
    PostMessageW(window, g_message, 0, 0);
    ++g_posted;
  }
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  g_message = static_cast<UINT>(std::wcstoul(argv[2], nullptr, 0));
  EnumWindows(PostTo, reinterpret_cast<LPARAM>(argv[1]));
  return g_posted > 0 ? 0 : 1;
}
