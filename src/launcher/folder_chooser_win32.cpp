#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shlobj.h>

#include "launcher/folder_chooser.h"
#include "support/win_text.h"

namespace vantrel {

void ChooseGameFolder(WorkerContext& context) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BROWSEINFOW info = {};
  info.hwndOwner = static_cast<HWND>(context.window);
  info.lpszTitle = L"Choose the folder with Diablo II.exe in it";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (chosen == nullptr) return;
  wchar_t path[1024] = {};
  const BOOL has_path = SHGetPathFromIDListEx(chosen, path, 1024, GPFIDL_DEFAULT);
  CoTaskMemFree(chosen);
  if (!has_path) return;
  std::string folder;
  if (!FromWide(path, wcsnlen(path, 1024), &folder)) return;
  UseChosenFolder(context, folder);
}

}  // namespace vantrel
