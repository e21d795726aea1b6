#pragma once
// Which relative paths the launcher will write inside the game folder (and start as the game
// program): printable ASCII, "/" between parts, nothing that escapes the folder, names a
// drive, or names a Windows device such as CON or LPT1.
#include <string_view>

namespace vantrel {

bool IsGamePath(std::string_view path);
bool IsDeviceName(std::string_view part);

}  // namespace vantrel
