#pragma once
// The gateway file players open to add the realm to the game's gateway list: a registry file
// that sets the whole REG_MULTI_SZ value, the realm first and selected.
#include <string>
#include <vector>

#include "realm-site/realm_config.h"

namespace vantrel::site {

// The strings of the gateway list in their order: [0] unused marker, [1] selected gateway
// number ("1"), then address, zone and name for each gateway.
std::vector<std::string> GatewayStrings(const RealmConfig& config);

// The registry file text (CRLF lines); empty if a string isn't valid UTF-8.
std::string BuildGatewayReg(const RealmConfig& config);

// The file as served: that text in UTF-16LE after a byte-order mark, as the registry editor
// writes version 5 files. Read as 8-bit text, Wine's editor turns the hex(7) list into ANSI
// bytes and the realm's address arrives garbled.
std::string GatewayRegFile(const RealmConfig& config);

}  // namespace vantrel::site
