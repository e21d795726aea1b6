#include "unit/report/archive_readers.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/sha256.h"

namespace vantrel::testing_support {
namespace {

// Runs a shell command and returns its exit status and standard output.
int RunCapture(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output->append(buffer.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr const char* kPythonLister = R"PY(
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        print("BAD", bad)
        sys.exit(1)
    for info in z.infolist():
        print(info.filename + "\t" + hashlib.sha256(z.read(info)).hexdigest())
)PY";

}  // namespace

std::string CheckArchiveWithReaders(const std::string& archive, const std::vector<ExpectedEntry>& expected) {
  char folder_template[] = "/tmp/vantrel-zipcheck-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) return "no temporary folder";
  const std::filesystem::path folder = folder_template;
  const std::string zip_path = (folder / "report.zip").string();
  const std::string script_path = (folder / "list.py").string();
  std::ofstream(zip_path, std::ios::binary).write(archive.data(), static_cast<std::streamsize>(archive.size()));
  std::ofstream(script_path) << kPythonLister;

  std::string problems;
  std::string out;
  std::string expected_listing;
  for (const ExpectedEntry& entry : expected) {
    expected_listing += entry.name + "\t" + Sha256Text(entry.content) + "\n";
  }
  if (RunCapture("/usr/bin/python3 " + script_path + " " + zip_path + " 2>&1", &out) != 0) {
    problems += "python zipfile failed: " + out + "\n";
  } else if (out != expected_listing) {
    problems += "python zipfile saw:\n" + out + "expected:\n" + expected_listing;
  }
  // unzip -t exits 0 for a good archive; an archive without entries gives 1 with "empty".
  const int unzip_status = RunCapture("unzip -t " + zip_path + " 2>&1", &out);
  if (!(unzip_status == 0 || (expected.empty() && out.find("empty") != std::string::npos))) {
    problems += "unzip -t failed: " + out + "\n";
  }
  if (RunCapture("7z t " + zip_path + " 2>&1", &out) != 0 || out.find("Everything is Ok") == std::string::npos) {
    problems += "7z t failed: " + out + "\n";
  } else if (!expected.empty()) {
    // 7z extracts too, so the contents are compared byte for byte a third time.
    const std::string target = (folder / "x7").string();
    if (RunCapture("7z x -y -o" + target + " " + zip_path + " 2>&1", &out) != 0) {
      problems += "7z x failed: " + out + "\n";
    } else {
      for (const ExpectedEntry& entry : expected) {
        std::ifstream in(target + "/" + entry.name, std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) problems += "7z lost " + entry.name + "\n";
        if (got != entry.content) problems += "7z content differs for " + entry.name + "\n";
      }
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return problems;
}

}  // namespace vantrel::testing_support
