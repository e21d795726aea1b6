#pragma once
// The realm-site command line: serve, export, --help. Returns the process exit code.
#include <iosfwd>

namespace vantrel::site {

int RunRealmSite(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace vantrel::site
