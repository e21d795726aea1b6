// Stands in for the game in tests and the demo: writes its full command line and current
// folder, as UTF-8, to "stand-in-record.txt" beside itself, then exits 0.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain() {
  std::wstring module(32768, L'\0');
  module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
  const std::wstring folder_of_exe = module.substr(0, module.find_last_of(L'\\') + 1);

  std::wstring current(32768, L'\0');
  current.resize(GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data()));

  const std::string record = "command line: " + Utf8(GetCommandLineW()) + "\ncurrent folder: " + Utf8(current) + "\n";
  // Written under another name first so a reader never sees half a record.
  const std::wstring partial = folder_of_exe + L"stand-in-record.tmp";
  const std::wstring final_name = folder_of_exe + L"stand-in-record.txt";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != record.size()) return 1;
  return MoveFileExW(partial.c_str(), final_name.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
