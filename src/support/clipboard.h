#pragma once
// Putting a text on the clipboard as Unicode text, owned by the given window.
#include <cstdint>
#include <string_view>

#include "support/os.h"

namespace vantrel::os {

// Windows error code, 0 once the clipboard holds the text. Whatever fails, the clipboard is
// closed again if it was opened.
uint32_t SetClipboardText(WindowHandle owner, std::string_view utf8);

}  // namespace vantrel::os
