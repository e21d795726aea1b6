// Linux has no registry: every value reads as absent.
#include "support/os.h"
#include "support/registry.h"

namespace vantrel::os {

uint32_t ReadUserMultiString(std::string_view, std::string_view, std::u16string*) { return kErrorFileNotFound; }

}  // namespace vantrel::os
