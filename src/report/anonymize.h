#pragma once
// Blanks out what identifies the player's computer: labelled "Local IP:"/"Computer name:"
// values, profile folder names, the computer and user names as words, and local IPv4
// addresses. Pure: reads nothing but its arguments.
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// False only when memory runs out; `out` is then left empty (no partial text).
bool Anonymize(std::string_view text, const std::vector<std::string>& computer_names,
               const std::vector<std::string>& user_names, std::string* out);

}  // namespace vantrel
