// The realm address slot: the marker and then 240 bytes that a stamping tool fills in the
// built executable. volatile keeps the compiler from folding the NULs it was built with.
#include <string>

#include "launcher/startup.h"

namespace vantrel {

extern volatile char g_site_slot[20 + kSiteSlotBytes];
volatile char g_site_slot[20 + kSiteSlotBytes] = "@@VANTREL-SITE-URL@@";

std::string EmbeddedAddress() {
  char slot[kSiteSlotBytes];
  for (size_t i = 0; i < kSiteSlotBytes; ++i) slot[i] = g_site_slot[20 + i];
  return AddressFromSlot(slot);
}

}  // namespace vantrel
