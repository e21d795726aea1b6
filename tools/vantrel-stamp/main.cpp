// vantrel-stamp LAUNCHER.exe ADDRESS [-o OUT]: writes a realm's site address into a launcher.
#include <cstdio>
#include <string>

#include "vantrel-stamp/stamp.h"

int main(int argc, char** argv) {
  std::string input, address, output;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      positional = -1;
      break;
    } else if (positional == 0) {
      input = arg, ++positional;
    } else if (positional == 1) {
      address = arg, ++positional;
    } else {
      positional = -1;
      break;
    }
  }
  if (positional != 2) {
    std::fprintf(stderr,
                 "usage: vantrel-stamp LAUNCHER.exe ADDRESS [-o OUT]\n"
                 "  Writes the realm's site address (http:// or https://) into the launcher;\n"
                 "  without -o the launcher file itself is rewritten.\n");
    return 2;
  }
  if (output.empty()) output = input;
  const std::string reason = vantrel::StampFile(input, address, output);
  if (!reason.empty()) {
    std::fprintf(stderr, "vantrel-stamp: %s\n", reason.c_str());
    return 1;
  }
  std::printf("%s now serves %s\n", output.c_str(), address.c_str());
  return 0;
}
