#pragma once
// How the game is started: the argument text (the realm's arguments plus the windowed
// switch), the program path and the quoted command line handed to the system.
#include <string>
#include <string_view>

namespace vantrel {

// Trimmed `arguments`, with "-w" added when `windowed` is set and no token already is "-w"
// (any ASCII case). Tokens are separated by runs of spaces only.
std::string ArgumentText(std::string_view arguments, bool windowed);

// Game folder + "\" + program, joined as they stand (a folder ending in "\" keeps both).
std::string ProgramPath(std::string_view game_folder, std::string_view program);

// "\"<program path>\"" then, when the argument text isn't empty, " " and the argument text.
std::string CommandLine(std::string_view program_path, std::string_view argument_text);

}  // namespace vantrel
