#pragma once
// A temporary game folder, LOCALAPPDATA and ProgramData tree for running the report jobs
// natively, with the records those jobs read and the trace lines they write.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"
#include "support/debug_output.h"

namespace vantrel::testing_support {

inline std::mutex g_trace_lock;
inline std::vector<std::string> g_trace_lines;

inline void RecordTraceLine(std::string_view line) {
  std::lock_guard<std::mutex> guard(g_trace_lock);
  g_trace_lines.emplace_back(line);
}

class ReportTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-report-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    game_ = root_ + "/Diablo II";
    local_ = root_ + "/Local";
    machine_ = root_ + "/ProgramData";
    std::filesystem::create_directories(game_);
    std::filesystem::create_directories(local_);
    std::filesystem::create_directories(machine_);
    setenv("LOCALAPPDATA", local_.c_str(), 1);
    setenv("ProgramData", machine_.c_str(), 1);
    state_.game_folder.Set(game_);
    state_.launcher_line.Set("Launcher 1.1.0 test");
    state_.game_program.Set("Game.exe");
    state_.ready = true;
    context_.state = &state_;
    context_.job_kind = JobKind::kGather;
    context_.computer_names = {"ATLAS-7", "atlas-7.home.lan"};
    context_.user_names = {"mira", "Mira Lund"};
    {
      std::lock_guard<std::mutex> guard(g_trace_lock);
      g_trace_lines.clear();
    }
    SetDebugHook(RecordTraceLine);
  }
  void TearDown() override {
    SetDebugHook(nullptr);
    unsetenv("LOCALAPPDATA");
    unsetenv("ProgramData");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Writes a file (folders created) and gives it a write time `age_minutes` in the past.
  static void Put(const std::string& path, std::string_view content, int age_minutes = 60) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
    Age(path, age_minutes);
  }
  // A file of `size` bytes without writing them (sparse).
  static void PutSized(const std::string& path, uint64_t size, int age_minutes = 60) {
    Put(path, "");
    std::filesystem::resize_file(path, size);
    Age(path, age_minutes);
  }
  static void Age(const std::string& path, int age_minutes) {
    std::filesystem::last_write_time(path,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::minutes(age_minutes));
  }
  std::string WerFolder(std::string_view base, std::string_view queue, std::string_view name) const {
    return std::string(base) + "/Microsoft/Windows/WER/" + std::string(queue) + "/" + std::string(name);
  }

  std::vector<std::string> EntryNames() const {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < state_.report_entry_count; ++i) names.push_back(state_.report_entries[i].name);
    return names;
  }
  const ReportEntry* Find(std::string_view name) const {
    for (uint32_t i = 0; i < state_.report_entry_count; ++i) {
      if (state_.report_entries[i].name == name) return &state_.report_entries[i];
    }
    return nullptr;
  }
  static std::vector<std::string> Traces() {
    std::lock_guard<std::mutex> guard(g_trace_lock);
    return g_trace_lines;
  }

  std::string root_;
  std::string game_;
  std::string local_;
  std::string machine_;
  LauncherState state_;
  WorkerContext context_;
};

}  // namespace vantrel::testing_support
