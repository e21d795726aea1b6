#pragma once
// The operator's realm.json: what the realm is called, where its gateway is, how the game is
// started. Read once at start; anything the launcher would refuse is refused here, by name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::site {

struct Gateway {
  std::string address;
  std::string zone;
  std::string name;
};

struct RealmConfig {
  std::string realm;
  std::string address;       // the game gateway players connect to
  std::string gateway_name;  // shown in the game's gateway list; the realm name when absent
  std::string gateway_zone = "0";
  std::vector<Gateway> extra_gateways;  // kept after the realm in gateway.reg
  std::string site;
  std::string revision;
  std::string exe = "Diablo II.exe";
  std::string args;
  std::string news;
  std::string operator_token;        // empty: the list of reports is off; else 16 characters or more
  uint64_t report_quota_mib = 2048;  // the report store's total; uploads past it get 507
  std::string report_webhook;        // https://, or http:// to this machine; empty: no messages
};

inline constexpr size_t kShortestToken = 16;

// Parses the text of realm.json. On failure returns false and sets `error` to a sentence that
// names the key at fault.
bool ParseRealmConfig(std::string_view text, RealmConfig* config, std::string* error);

// An https:// address, or an http:// one whose host is a loopback address.
bool IsWebhookAddress(std::string_view url);

// Reads DIR/realm.json; the error names the file.
bool LoadRealmConfig(const std::string& root, RealmConfig* config, std::string* error);

}  // namespace vantrel::site
