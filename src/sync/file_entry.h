#pragma once
// One game file the realm names: where it goes, its hash text and its size.
#include <cstdint>
#include <string>

namespace vantrel {

struct FileEntry {
  uint64_t size = 0;
  std::string path;    // relative, "/" between folders
  std::string sha256;  // hash text
};

}  // namespace vantrel
