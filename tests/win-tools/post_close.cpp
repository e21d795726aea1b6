// Test helper: asks every top-level window of the given class to close (WM_CLOSE), as the
// title bar's close box would. Exits 1 when no such window exists.
#include <windows.h>

static int g_posted = 0;

static BOOL CALLBACK PostCloseTo(HWND window, LPARAM class_name) {
  wchar_t name[256];
  if (GetClassNameW(window, name, 256) && lstrcmpW(name, reinterpret_cast<const wchar_t*>(class_name)) == 0) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    ++g_posted;
  }
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  const wchar_t* class_name = argc > 1 ? argv[1] : L"VantrelLauncher";
  EnumWindows(PostCloseTo, reinterpret_cast<LPARAM>(class_name));
  return g_posted > 0 ? 0 : 1;
}
