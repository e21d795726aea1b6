#pragma once
// Reads an archive back with three independent readers (unzip, Python's zipfile, 7z) and
// checks that each sees exactly the expected entries with the expected contents.
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing_support {

struct ExpectedEntry {
  std::string name;
  std::string content;
};

// Empty on success, else a description of what the readers disagreed with.
std::string CheckArchiveWithReaders(const std::string& archive, const std::vector<ExpectedEntry>& expected);

}  // namespace vantrel::testing_support
