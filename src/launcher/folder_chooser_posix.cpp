// Linux has no shell folder browser; choosing behaves as a cancel.
#include "launcher/folder_chooser.h"

namespace vantrel {

void ChooseGameFolder(WorkerContext&) {}

}  // namespace vantrel
