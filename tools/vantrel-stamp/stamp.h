#pragma once
// Writing a realm's site address into the slot of a built launcher.
#include <string>
#include <string_view>

namespace vantrel {

inline constexpr std::string_view kSiteMarker = "@@VANTREL-SITE-URL@@";

// Puts `address` after the one marker in `image`, NUL-padded to the slot's 240 bytes.
// Returns an empty text on success, else the reason it refused (the image is unchanged).
std::string StampImage(std::string& image, std::string_view address);

// Reads `input`, stamps it and writes `output` through a temporary file, so a failure never
// leaves a half-written launcher. Returns an empty text on success, else the reason.
std::string StampFile(const std::string& input, std::string_view address, const std::string& output);

}  // namespace vantrel
