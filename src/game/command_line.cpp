#include "game/command_line.h"

#include "support/text.h"

namespace vantrel {
namespace {

bool HasWindowedToken(std::string_view arguments) {
  size_t i = 0;
  while (i < arguments.size()) {
    while (i < arguments.size() && arguments[i] == ' ') ++i;
    const size_t start = i;
    while (i < arguments.size() && arguments[i] != ' ') ++i;
    if (i > start && EqualsNoCase(arguments.substr(start, i - start), "-w")) return true;
  }
  return false;
}

}  // namespace

std::string ArgumentText(std::string_view arguments, bool windowed) {
  std::string text(TrimSpaces(arguments));
  if (windowed && !HasWindowedToken(arguments)) text.append(text.empty() ? "-w" : " -w");
  return text;
}

std::string ProgramPath(std::string_view game_folder, std::string_view program) {
  std::string path;
  path.reserve(game_folder.size() + 1 + program.size());
  path.append(game_folder).append("\\").append(program);
  return path;
}

std::string CommandLine(std::string_view program_path, std::string_view argument_text) {
  std::string line;
  line.reserve(program_path.size() + 3 + argument_text.size());
  line.append("\"").append(program_path).append("\"");
  if (!argument_text.empty()) line.append(" ").append(argument_text);
  return line;
}

}  // namespace vantrel
