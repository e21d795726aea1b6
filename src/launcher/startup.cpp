#include "launcher/startup.h"

#include <algorithm>

#include "launcher/settings.h"
#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel {

std::string AddressFromSlot(const char* slot, size_t slot_bytes) {
  size_t length = 0;
  while (length < slot_bytes && slot[length] != '\0') ++length;
  std::string_view content(slot, length);
  if (!content.starts_with("https://") && !content.starts_with("http://")) return std::string();
  for (unsigned char c : content) {
    if (c < 0x21 || c > 0x7E) return std::string();
  }
  while (!content.empty() && content.back() == '/') content.remove_suffix(1);
  return std::string(content);
}

RealmKeys KeysFromSlot(const char* slot, size_t slot_bytes) {
  RealmKeys keys;
  size_t length = 0;
  while (length < slot_bytes && slot[length] != '\0') ++length;
  std::string_view content(slot, length);
  keys.stamped = !content.empty();
  while (!content.empty()) {
    const size_t end = std::min(content.find('\n'), content.size());
    MinisignKey key;
    if (ParseMinisignKey(content.substr(0, end), &key) == MinisignError::kNone) keys.keys.push_back(key);
    content.remove_prefix(std::min(end + 1, content.size()));
  }
  return keys;
}

std::string HostLabel(std::string_view address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return "local";
  const std::string_view rest = address.substr(scheme + 3);
  const std::string_view host = rest.substr(0, rest.find_first_of("/:"));
  return host.empty() ? "local" : std::string(host);
}

std::string LauncherLine(std::string_view own_hash, std::string_view address) {
  std::string line = "Launcher ";
  line.append(own_hash.substr(0, 8)).append(" for ").append(address.empty() ? "no realm" : address);
  return line;
}

std::string FolderOf(std::string_view path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut));
}

std::string SettingsFolder(std::string_view appdata, std::string_view own_path, std::string_view host_label) {
  std::string folder = appdata.empty() ? FolderOf(own_path) : std::string(appdata);
  folder.append("\\Vantrel Launcher\\").append(host_label);
  return folder;
}

namespace {

void AddNameForms(const os::NameForms& name, std::vector<std::string>* list) {
  if (!name.utf8.empty()) list->push_back(name.utf8);
  if (!name.ansi.empty()) list->push_back(name.ansi);
}

}  // namespace

void RunStartup(LauncherState& state, WorkerContext& context) {
  context.state = &state;
  context.own_path = os::ModulePath();
  if (!context.own_path.empty()) os::DeleteFilePath(context.own_path + ".old");

  context.realm_address = EmbeddedAddress();
  context.realm_keys = EmbeddedKeys();
  const std::string label = HostLabel(context.realm_address);

  std::string appdata;
  if (!os::GetEnv("APPDATA", &appdata)) appdata.clear();
  context.settings_folder = SettingsFolder(appdata, context.own_path, label);
  os::CreateFolders(context.settings_folder);

  const Settings settings = LoadSettings(SettingsFilePath(context.settings_folder));
  state.game_program.Set("Diablo II.exe");
  state.windowed = settings.windowed;
  if (!settings.game_dir.empty()) {
    state.game_folder.Set(settings.game_dir);
  } else {
    const std::string own_folder = FolderOf(context.own_path);
    if (!context.own_path.empty() && os::GetFileFacts(own_folder + "\\Game.exe").exists) {
      state.game_folder.Set(own_folder);
    }
  }

  std::string own_hash;
  if (context.own_path.empty() || !HashFile(context.own_path, &own_hash)) own_hash.assign(64, '?');
  state.launcher_line.Set(LauncherLine(own_hash, context.realm_address));

  state.status_headline.Set("Starting");
  state.status_detail.Clear();
  state.progress = -1.0f;

  os::NameForms name;
  if (os::NetbiosComputerName(&name)) AddNameForms(name, &context.computer_names);
  if (os::DnsHostName(&name)) AddNameForms(name, &context.computer_names);
  if (os::LogonUserName(&name)) AddNameForms(name, &context.user_names);
  std::string profile;
  if (os::GetEnv("USERPROFILE", &profile)) {
    const size_t cut = profile.find_last_of('\\');
    const std::string last = cut == std::string::npos ? profile : profile.substr(cut + 1);
    if (os::NameFormsOf(last, &name)) {
      AddNameForms(name, &context.user_names);
    }
  }

  std::string command_line;
  context.started_after_update = os::CommandLine(&command_line) && command_line.find("--updated") != std::string::npos;

  context.window = nullptr;
  context.report_arena.reset();
  context.account.Clear();
  context.note.Clear();
  context.file_set.Clear();
  context.last_check_line.Clear();
  context.job_kind = JobKind::kUpdate;
}

}  // namespace vantrel
