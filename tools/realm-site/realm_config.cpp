#include "realm-site/realm_config.h"

#include <nlohmann/json.hpp>
#include <set>

#include "realm/game_path.h"
#include "realm/manifest.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

using Json = nlohmann::json;

// Gateway strings end up in a REG_MULTI_SZ: a control character (NUL above all) would split
// or corrupt the player's gateway list.
bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool TakeString(const Json& object, const char* key, std::string* out, std::string* error) {
  auto found = object.find(key);
  if (found == object.end()) return true;
  if (!found->is_string()) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = found->get<std::string>();
  return true;
}

bool OnlyKnownKeys(const Json& object, std::initializer_list<std::string_view> known, std::string_view where,
                   std::string* error) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool is_known = false;
    for (std::string_view key : known) is_known = is_known || it.key() == key;
    if (!is_known) {
      *error = "unknown key \"" + it.key() + "\"" + std::string(where) + " (a typing mistake?)";
      return false;
    }
  }
  return true;
}

bool ParseGateways(const Json& list, std::vector<Gateway>* gateways, std::string* error) {
  if (!list.is_array()) {
    *error = "\"extra_gateways\" must be an array of {\"address\", \"zone\", \"name\"} objects";
    return false;
  }
  for (const Json& item : list) {
    Gateway gateway;
    if (!item.is_object() || !OnlyKnownKeys(item, {"address", "zone", "name"}, " in \"extra_gateways\"", error) ||
        !TakeString(item, "address", &gateway.address, error) || !TakeString(item, "zone", &gateway.zone, error) ||
        !TakeString(item, "name", &gateway.name, error)) {
      if (error->empty()) *error = "each of \"extra_gateways\" must be an object";
      return false;
    }
    if (gateway.address.empty() || HasControlCharacter(gateway.address) || HasControlCharacter(gateway.zone) ||
        HasControlCharacter(gateway.name)) {
      *error = "each of \"extra_gateways\" needs an \"address\", and no control characters";
      return false;
    }
    gateways->push_back(std::move(gateway));
  }
  return true;
}

bool Validate(RealmConfig& config, std::string* error) {
  if (config.address.empty() || config.address.size() > 120) {
    *error = "\"address\" (the game gateway players connect to) must be 1 to 120 bytes";
    return false;
  }
  if (HasControlCharacter(config.address) || HasControlCharacter(config.gateway_name) ||
      HasControlCharacter(config.gateway_zone)) {
    *error = "\"address\", \"gateway_name\" and \"gateway_zone\" may not hold control characters";
    return false;
  }
  if (!IsGamePath(config.exe) || !EndsWithNoCase(config.exe, ".exe")) {
    *error =
        "\"start\".\"exe\" must be a relative path inside the game folder ending in .exe, got \"" + config.exe + "\"";
    return false;
  }
  if (!IsPassableArguments(config.args)) {
    *error = "\"start\".\"args\" may hold only printable ASCII without \" % & < > ^ |, at most 600 bytes";
    return false;
  }
  // A short token falls to guessing even at a few tries a minute.
  if (!config.operator_token.empty() && config.operator_token.size() < kShortestToken) {
    *error = "\"operator_token\" is " + Decimal(config.operator_token.size()) +
             " characters: use at least 16 (or leave it out to turn the list of reports off)";
    return false;
  }
  if (config.gateway_name.empty()) config.gateway_name = config.realm.empty() ? config.address : config.realm;
  return true;
}

}  // namespace

bool ParseRealmConfig(std::string_view text, RealmConfig* config, std::string* error) {
  error->clear();
  // Two values for one key would silently drop one of them: refuse instead.
  std::vector<std::set<std::string>> keys_by_depth;
  std::string duplicate;
  auto watch = [&](int /*depth*/, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      keys_by_depth.emplace_back();
    } else if (event == Json::parse_event_t::object_end) {
      if (!keys_by_depth.empty()) keys_by_depth.pop_back();
    } else if (event == Json::parse_event_t::key && !keys_by_depth.empty()) {
      std::string key = parsed.get<std::string>();
      if (!keys_by_depth.back().insert(key).second && duplicate.empty()) duplicate = key;
    }
    return true;
  };
  Json root;
  try {
    root = Json::parse(text.begin(), text.end(), watch);
  } catch (const Json::exception& problem) {
    *error = std::string("it isn't valid JSON: ") + problem.what();
    return false;
  }
  if (!duplicate.empty()) {
    *error = "the key \"" + duplicate + "\" is given twice";
    return false;
  }
  if (!root.is_object()) {
    *error = "it must hold one JSON object";
    return false;
  }
  RealmConfig parsed;
  if (!OnlyKnownKeys(root,
                     {"realm", "address", "gateway_name", "gateway_zone", "extra_gateways", "site", "revision", "start",
                      "news", "operator_token", "report_quota_mib", "report_webhook"},
                     "", error)) {
    return false;
  }
  if (!TakeString(root, "realm", &parsed.realm, error) || !TakeString(root, "address", &parsed.address, error) ||
      !TakeString(root, "gateway_name", &parsed.gateway_name, error) ||
      !TakeString(root, "gateway_zone", &parsed.gateway_zone, error) ||
      !TakeString(root, "site", &parsed.site, error) || !TakeString(root, "revision", &parsed.revision, error) ||
      !TakeString(root, "news", &parsed.news, error) ||
      !TakeString(root, "operator_token", &parsed.operator_token, error) ||
      !TakeString(root, "report_webhook", &parsed.report_webhook, error)) {
    return false;
  }
  if (!parsed.report_webhook.empty() && !IsWebhookAddress(parsed.report_webhook)) {
    *error = "\"report_webhook\" must be an https:// address, or http:// to this machine (127.0.0.1, ::1, localhost)";
    return false;
  }
  if (auto start = root.find("start"); start != root.end()) {
    if (!start->is_object()) {
      *error = "\"start\" must be an object with \"exe\" and \"args\"";
      return false;
    }
    if (!OnlyKnownKeys(*start, {"exe", "args"}, " in \"start\"", error) ||
        !TakeString(*start, "exe", &parsed.exe, error) || !TakeString(*start, "args", &parsed.args, error)) {
      if (error->front() == '"') error->insert(0, "in \"start\", ");
      return false;
    }
  }
  if (auto quota = root.find("report_quota_mib"); quota != root.end()) {
    if (!quota->is_number_unsigned() || quota->get<uint64_t>() == 0 || quota->get<uint64_t>() > 16777216) {
      *error = "\"report_quota_mib\" must be a whole number of MiB from 1 to 16777216";
      return false;
    }
    parsed.report_quota_mib = quota->get<uint64_t>();
  }
  if (auto gateways = root.find("extra_gateways"); gateways != root.end()) {
    if (!ParseGateways(*gateways, &parsed.extra_gateways, error)) return false;
  }
  if (!Validate(parsed, error)) return false;
  *config = std::move(parsed);
  return true;
}

bool IsWebhookAddress(std::string_view url) {
  if (HasControlCharacter(url) || url.find(' ') != std::string_view::npos) return false;
  if (StartsWithNoCase(url, "https://")) return url.size() > 8;
  if (!StartsWithNoCase(url, "http://")) return false;
  std::string_view rest = url.substr(7);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (rest.find('@') != std::string_view::npos) return false;
  std::string_view host = rest;
  if (host.substr(0, 1) == "[") {
    host = host.substr(0, host.find(']') + 1);
    return host == "[::1]";
  }
  host = host.substr(0, host.find(':'));
  if (EqualsNoCase(host, "localhost")) return true;
  // 127.0.0.0/8 written as a dotted quad.
  if (host.substr(0, 4) != "127.") return false;
  int dots = 0;
  for (char c : host) {
    if (c == '.') {
      ++dots;
    } else if (!IsAsciiDigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return dots == 3;
}

bool LoadRealmConfig(const std::string& root, RealmConfig* config, std::string* error) {
  const std::string path = root + "/realm.json";
  std::string text;
  const uint32_t read = os::ReadWholeFile(path, 1048576, &text);
  if (read == os::kErrorFileNotFound || read == os::kErrorPathNotFound) {
    *error = path + " is missing: every realm folder needs one (see realm-site --help)";
    return false;
  }
  if (read == os::kErrorFileTooLarge) {
    *error = path + " is larger than 1 MiB";
    return false;
  }
  if (read != os::kOk) {
    *error = path + " can't be read (error " + Decimal(read) + ")";
    return false;
  }
  std::string reason;
  if (!ParseRealmConfig(text, config, &reason)) {
    *error = path + ": " + reason;
    return false;
  }
  return true;
}

}  // namespace vantrel::site
