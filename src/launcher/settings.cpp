#include "launcher/settings.h"

#include "support/os.h"
#include "support/text.h"

namespace vantrel {

Settings ParseSettings(std::string_view content) {
  Settings settings;
  size_t start = 0;
  while (start <= content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view piece = TrimChars(content.substr(start, end - start), " \t\r");
    start = end + 1;
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = TrimChars(piece.substr(0, eq), " \t");
    const std::string_view value = TrimChars(piece.substr(eq + 1), " \t");
    if (key == "game_dir") {
      settings.game_dir = std::string(value.substr(0, kFixedTextCapacity));
    } else if (key == "windowed") {
      settings.windowed = value == "1" || EqualsNoCase(value, "true");
    }
  }
  return settings;
}

std::string FormatSettings(std::string_view game_dir, bool windowed) {
  std::string text = "game_dir=";
  text.append(game_dir).append("\r\nwindowed=").append(windowed ? "1" : "0").append("\r\n");
  return text;
}

Settings LoadSettings(std::string_view settings_file) {
  std::string content;
  if (os::ReadWholeFile(settings_file, kSettingsMaxBytes, &content) != os::kOk) return Settings();
  return ParseSettings(content);
}

void SaveSettings(LauncherState& state, std::string_view settings_file) {
  std::string game_dir;
  bool windowed;
  {
    os::LockGuard guard(state.lock);
    game_dir = state.game_folder.Copy();
    windowed = state.windowed;
  }
  os::ReplaceWholeFile(settings_file, FormatSettings(game_dir, windowed));
}

std::string SettingsFilePath(std::string_view settings_folder) {
  return std::string(settings_folder) + "\\settings.txt";
}

}  // namespace vantrel
