#pragma once
// settings.txt: the game folder and the windowed flag, one "key=value" per line.
#include <string>
#include <string_view>

#include "launcher/state.h"

namespace vantrel {

inline constexpr size_t kSettingsMaxBytes = 65536;

struct Settings {
  std::string game_dir;  // already cut to 600 bytes
  bool windowed = false;
};

Settings ParseSettings(std::string_view content);
std::string FormatSettings(std::string_view game_dir, bool windowed);

// A missing, unreadable or oversized file gives the defaults.
Settings LoadSettings(std::string_view settings_file);
// Copies both values under the lock and rewrites the file; failures are silent.
void SaveSettings(LauncherState& state, std::string_view settings_file);

std::string SettingsFilePath(std::string_view settings_folder);

}  // namespace vantrel
