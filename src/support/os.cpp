// The parts of the seam that are the same on both sides: built from the calls of each backend.
#include "support/os.h"

namespace vantrel::os {

uint32_t ReplaceWholeFile(std::string_view path, std::string_view content) {
  const std::string temporary = std::string(path) + ".tmp";
  uint32_t error = kOk;
  {
    File file;
    error = file.CreateWrite(temporary);
    if (error == kOk) error = file.Write(content.data(), content.size());
    // On the disk before the name points at it: one flush per file, never per write.
    if (error == kOk) file.Flush();
  }
  if (error == kOk) error = MoveReplace(temporary, path);
  if (error != kOk) DeleteFilePath(temporary);
  return error;
}

}  // namespace vantrel::os
