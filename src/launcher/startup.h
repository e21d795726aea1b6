#pragma once
// The start-up sequence: own path, the ".old" clean-up, the embedded realm address, the
// settings folder and file, the own hash and launcher line, the names to blank out.
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"

namespace vantrel {

inline constexpr size_t kSiteSlotBytes = 240;
// Up to two public keys (the current one and the next), one minisign key line each, LF-ended.
inline constexpr size_t kKeySlotBytes = 128;
inline constexpr size_t kMaxRealmKeys = 2;

// The slot content as the launcher reads it: the address without trailing "/", or empty
// when it doesn't start with http:// or https:// or holds a byte outside 0x21..0x7E.
std::string AddressFromSlot(const char* slot, size_t slot_bytes = kSiteSlotBytes);
// The key slot's content up to its first NUL, split at LF; empty content is not stamped.
RealmKeys KeysFromSlot(const char* slot, size_t slot_bytes = kKeySlotBytes);
// The host part of the address, or "local".
std::string HostLabel(std::string_view address);
// "Launcher " + 8 hash characters + " for " + address (or "no realm").
std::string LauncherLine(std::string_view own_hash, std::string_view address);
// The folder part of a path: everything before its last "\" or "/" (empty when none).
std::string FolderOf(std::string_view path);
// The per-realm settings folder: APPDATA (or the executable's folder) + "\Vantrel Launcher\" + label.
std::string SettingsFolder(std::string_view appdata, std::string_view own_path, std::string_view host_label);

// The slot as compiled into this program (all NULs until a realm's address is stamped in).
std::string EmbeddedAddress();
RealmKeys EmbeddedKeys();

// Runs the whole sequence; fills the state and the context. Shows nothing, starts no job.
void RunStartup(LauncherState& state, WorkerContext& context);

}  // namespace vantrel
