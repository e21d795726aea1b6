// The realm key slot: its marker and then the bytes a stamping tool fills with the realm's
// public keys. Empty in a build as compiled; volatile for the same reason as the address slot.
#include "launcher/startup.h"

namespace vantrel {

extern volatile char g_key_slot[22 + kKeySlotBytes];
volatile char g_key_slot[22 + kKeySlotBytes] = "@@VANTREL-REALM-KEYS@@";

RealmKeys EmbeddedKeys() {
  char slot[kKeySlotBytes];
  for (size_t i = 0; i < kKeySlotBytes; ++i) slot[i] = g_key_slot[22 + i];
  return KeysFromSlot(slot);
}

}  // namespace vantrel
