#pragma once
// Starting programs: CreateProcessW with the given folder as current folder (handles closed
// at once, never waited for), and the shell's "open" verb.
#include <cstdint>
#include <string_view>

namespace vantrel::os {

// Windows error code, 0 when the process was created. kErrorNoUnicodeTranslation when a
// text can't be converted.
uint32_t StartProcess(std::string_view application, std::string_view command_line, std::string_view current_folder);

// ShellExecuteW(no window, "open", file, parameters or none when empty, folder or none when
// empty, SW_SHOWNORMAL). Returns the shell's result value (above 32 is success) and, when
// it failed, the thread's last error in *last_error. A text that can't be converted gives 0.
intptr_t ShellOpen(std::string_view file, std::string_view parameters, std::string_view folder,
                   uint32_t* last_error = nullptr);

}  // namespace vantrel::os
