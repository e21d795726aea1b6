// Linux has no clipboard here: the copy always fails.
#include "support/clipboard.h"

namespace vantrel::os {

uint32_t SetClipboardText(WindowHandle, std::string_view) { return kErrorGenFailure; }

}  // namespace vantrel::os
