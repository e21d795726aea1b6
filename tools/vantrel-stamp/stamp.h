#pragma once
// Writing a realm's site address, and optionally its public keys, into the slots of a built
// launcher.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/minisign.h"

namespace vantrel {

inline constexpr std::string_view kSiteMarker = "@@VANTREL-SITE-URL@@";
inline constexpr std::string_view kKeyMarker = "@@VANTREL-REALM-KEYS@@";

// Puts `address` after the one site marker in `image`, NUL-padded to the slot's 240 bytes,
// and `keys` (at most two: the current key and the next) into the key slot, which is emptied
// when there are none. A build without a key slot can be stamped only without keys.
// Returns an empty text on success, else the reason it refused (the image is unchanged).
std::string StampImage(std::string& image, std::string_view address, std::span<const MinisignKey> keys = {});

// Reads a minisign public key file. Returns an empty text on success, else the reason.
std::string ReadKeyFile(const std::string& path, MinisignKey* key);

// Reads `input`, stamps it and writes `output` through a temporary file, so a failure never
// leaves a half-written launcher. Returns an empty text on success, else the reason.
std::string StampFile(const std::string& input, std::string_view address, const std::string& output,
                      const std::vector<std::string>& key_files = {});

// What a network attacker can do to players of a plain-HTTP realm whose launcher checks no
// signature; empty for https:// or when a key is stamped.
std::string PlainHttpWarning(std::string_view address, size_t key_count);

}  // namespace vantrel
