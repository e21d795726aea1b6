// vantrel-stamp LAUNCHER.exe ADDRESS [--key realm.pub [--key next.pub]] [-o OUT]: writes a
// realm's site address, and the public keys its manifests are signed with, into a launcher.
#include <cstdio>
#include <string>
#include <vector>

#include "vantrel-stamp/stamp.h"

int main(int argc, char** argv) {
  std::string input, address, output;
  std::vector<std::string> key_files;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "--key" && i + 1 < argc) {
      key_files.push_back(argv[++i]);
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
                 "usage: vantrel-stamp LAUNCHER.exe ADDRESS [--key realm.pub [--key next.pub]] [-o OUT]\n"
                 "  Writes the realm's site address (http:// or https://) into the launcher;\n"
                 "  without -o the launcher file itself is rewritten.\n"
                 "  --key: a minisign public key the realm's manifests are signed with (the current key,\n"
                 "  then the next one during a key change); the launcher then accepts only signed manifests.\n");
    return 2;
  }
  if (output.empty()) output = input;
  const std::string reason = vantrel::StampFile(input, address, output, key_files);
  if (!reason.empty()) {
    std::fprintf(stderr, "vantrel-stamp: %s\n", reason.c_str());
    return 1;
  }
  if (const std::string warning = vantrel::PlainHttpWarning(address, key_files.size()); !warning.empty()) {
    std::fprintf(stderr, "vantrel-stamp: %s\n", warning.c_str());
  }
  std::printf("%s now serves %s", output.c_str(), address.c_str());
  if (!key_files.empty()) std::printf(" and accepts only manifests signed by %s", key_files[0].c_str());
  if (key_files.size() > 1) std::printf(" or %s", key_files[1].c_str());
  std::printf("\n");
  return 0;
}
