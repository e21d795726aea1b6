// Linux side: starting a process is real (posix_spawn, for the native self-update tests);
// the shell's "open" has no counterpart and reports failure.
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/os.h"
#include "support/process.h"

extern char** environ;

namespace vantrel::os {
namespace {

// Splits a Windows-style command line: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word.push_back(c);
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

std::string Native(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace

uint32_t StartProcess(std::string_view application, std::string_view command_line, std::string_view current_folder) {
  std::vector<std::string> words = SplitCommandLine(command_line);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string folder = Native(current_folder);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid;
  const std::string program = Native(application);
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error == ENOENT) return kErrorFileNotFound;
  if (error == EACCES) return kErrorAccessDenied;
  if (error == ENOEXEC) return 193;
  return error == 0 ? kOk : kErrorGenFailure;
}

intptr_t ShellOpen(std::string_view, std::string_view, std::string_view, uint32_t* last_error) {
  if (last_error != nullptr) *last_error = kErrorGenFailure;
  return 0;
}

}  // namespace vantrel::os
