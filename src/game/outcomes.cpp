#include "game/outcomes.h"

#include "support/fixed_text.h"
#include "support/text.h"

namespace vantrel {
namespace {

std::string_view NameOr(std::string_view name, std::string_view fallback) { return name.empty() ? fallback : name; }

// The reason shown for a start failure; empty for codes without one of their own.
std::string_view StartFailureReason(uint32_t code) {
  switch (code) {
    case 2:
    case 3: return "Windows can't find it";
    case 5: return "Windows refused it (an antivirus or the folder's permissions)";
    case 193:
    case 216: return "it isn't a program this Windows can run";
    case 225: return "Windows Security blocked it as a threat";
    case 226: return "Windows Security removed it";
    case 740: return "it asks for administrator rights";
    case 1223: return "the administrator prompt was turned down";
    case 1260:
    case 4551: return "a Windows policy blocked it (Smart App Control, or an organisation's rules)";
    default: return {};
  }
}

}  // namespace

std::string CutStatusText(std::string text) {
  if (text.size() <= kFixedTextCapacity) return text;
  size_t cut = kFixedTextCapacity;
  // Back off over continuation bytes to the start of the sequence that straddles the cut.
  for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) --cut;
  text.resize(cut);
  return text;
}

StatusText GatewayMissingStatus() {
  return {"Add the realm to your gateways first",
          "Once only: get the gateway file, open it and say yes when Windows asks. Then press Play again."};
}

StatusText StartedStatus(const GatewayCheck& check, std::string_view realm_name) {
  if (check.outcome == GatewayOutcome::kListed) {
    const std::string_view name = NameOr(check.display_name, NameOr(realm_name, "the realm"));
    std::string headline = "Pick ";
    headline.append(name).append(" in the game");
    return {CutStatusText(std::move(headline)),
            "On the game's main menu, choose it with the gateway button under Battle.net."};
  }
  return {"The game is starting", "If it crashes, come back here and press Send logs."};
}

StatusText NotStartedStatus(uint32_t code, std::string_view program, std::string_view game_folder) {
  const std::string_view reason = StartFailureReason(code);
  std::string detail(program);
  if (reason.empty()) {
    detail.append(" wouldn't start (Windows error ");
  } else {
    detail.append(": ").append(reason).append(" (Windows error ");
  }
  detail.append(Decimal(code)).append("). In ").append(game_folder);
  return {"The game didn't start", CutStatusText(std::move(detail))};
}

uint32_t ReportedStartError(uint32_t first_code, uint32_t second_code) {
  return first_code == 740 && second_code != 0 ? second_code : first_code;
}

std::string GatewayFileAddress(std::string_view realm_address) {
  std::string address(realm_address);
  address.append("/client-pack/gateway.reg");
  return address;
}

StatusText GatewayFileStatus(std::string_view realm_name) {
  std::string detail = "Your browser is bringing it down. Open it, say yes to adding ";
  detail.append(NameOr(realm_name, "the realm")).append(", then press Play.");
  return {"Open the gateway file", CutStatusText(std::move(detail))};
}

StatusText LinkNotCopiedStatus(std::string_view link) {
  std::string detail = "The clipboard didn't take it. Copy it by hand: ";
  detail.append(link);
  return {"The link wasn't copied", CutStatusText(std::move(detail))};
}

}  // namespace vantrel
