#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>

#include "support/os.h"
#include "support/process.h"
#include "support/win_text.h"

namespace vantrel::os {

uint32_t StartProcess(std::string_view application, std::string_view command_line, std::string_view current_folder) {
  std::wstring app, line, folder;
  if (!ToWide(application, &app) || !ToWide(command_line, &line) || !ToWide(current_folder, &folder)) {
    return kErrorNoUnicodeTranslation;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);  // 68 in the x86 release build
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    const DWORD error = GetLastError();
    return error == 0 ? kErrorGenFailure : error;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return kOk;
}

intptr_t ShellOpen(std::string_view file, std::string_view parameters, std::string_view folder, uint32_t* last_error) {
  std::wstring wide_file, wide_parameters, wide_folder;
  if (!ToWide(file, &wide_file) || !ToWide(parameters, &wide_parameters) || !ToWide(folder, &wide_folder)) {
    if (last_error != nullptr) *last_error = kErrorNoUnicodeTranslation;
    return 0;
  }
  SetLastError(0);
  const HINSTANCE result =
      ShellExecuteW(nullptr, L"open", wide_file.c_str(), parameters.empty() ? nullptr : wide_parameters.c_str(),
                    folder.empty() ? nullptr : wide_folder.c_str(), SW_SHOWNORMAL);
  const intptr_t value = reinterpret_cast<intptr_t>(result);
  if (value <= 32 && last_error != nullptr) *last_error = GetLastError();
  return value;
}

}  // namespace vantrel::os
