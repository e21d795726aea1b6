#pragma once
// A throw-away realm folder for the realm-site tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vantrel::site {

class RealmFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "realm-site-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ + "/realm";
    std::filesystem::create_directories(root_ + "/files");
    Write("realm.json", R"({"realm": "Test Realm", "address": "play.test", "start": {"exe": "Game.exe"}})");
  }
  void TearDown() override { std::filesystem::remove_all(base_); }

  // Writes a file relative to the realm folder, making its folders.
  void Write(const std::string& relative, const std::string& content) {
    const std::filesystem::path path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string base_;
  std::string root_;
};

}  // namespace vantrel::site
