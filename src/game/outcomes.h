#pragma once
// Every headline and detail that Play and the link buttons show, built from their values and
// cut to the 600 bytes that the launcher state keeps.
#include <cstdint>
#include <string>
#include <string_view>

#include "game/gateways.h"

namespace vantrel {

struct StatusText {
  std::string headline;
  std::string detail;
};

// Cuts to at most 600 bytes without splitting a UTF-8 sequence (a split one would make the
// whole text unconvertible for drawing).
std::string CutStatusText(std::string text);

StatusText GatewayMissingStatus();
// The game process exists; `check` says whether the player still has to pick the realm.
StatusText StartedStatus(const GatewayCheck& check, std::string_view realm_name);
StatusText NotStartedStatus(uint32_t code, std::string_view program, std::string_view game_folder);

// The code to report after both starts failed: the fallback's when the first start asked for
// elevation (740) and the fallback gave a code, else the first start's.
uint32_t ReportedStartError(uint32_t first_code, uint32_t second_code);

std::string GatewayFileAddress(std::string_view realm_address);
StatusText GatewayFileStatus(std::string_view realm_name);

inline constexpr std::string_view kLinkCopiedHeadline = "The link is copied";
// The clipboard couldn't take the link: the link goes into the detail so the player can
// still read it on the main page (the Sent page can't be reached again).
StatusText LinkNotCopiedStatus(std::string_view link);

}  // namespace vantrel
