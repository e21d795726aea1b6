// The win32 side of the seam under Wine: file facts, moves and their error codes, folders,
// the module path, names and the environment.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/os.h"
#include "support/sha256.h"
#include "support/win_text.h"

namespace vantrel {
namespace {

std::string TempFolder(const char* name) {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::string folder;
  FromWide(base, wcslen(base), &folder);
  folder += "vantrel-seam-";
  folder += name;
  folder += "-" + std::to_string(GetCurrentProcessId());
  os::CreateFolders(folder);
  return folder;
}

TEST(Win32Seam, FileFactsAndWholeFiles) {
  const std::string dir = TempFolder("facts");
  const std::string file = dir + "\\caf\xC3\xA9.txt";  // a non-ASCII name goes through UTF-16
  ASSERT_EQ(os::WriteWholeFile(file, "twelve bytes"), os::kOk);
  const os::FileFacts facts = os::GetFileFacts(file);
  EXPECT_TRUE(facts.exists);
  EXPECT_FALSE(facts.is_folder);
  EXPECT_EQ(facts.size, 12u);
  EXPECT_GT(facts.write_time, 116444736000000000ULL);
  EXPECT_TRUE(os::GetFileFacts(dir).is_folder);
  EXPECT_FALSE(os::GetFileFacts(dir + "\\none").exists);
  EXPECT_FALSE(os::GetFileFacts("bad \xC3").exists);  // not UTF-8: counts as absent

  std::string content;
  EXPECT_EQ(os::ReadWholeFile(file, 12, &content), os::kOk);
  EXPECT_EQ(content, "twelve bytes");
  EXPECT_EQ(os::ReadWholeFile(file, 11, &content), os::kErrorFileTooLarge);
  std::string hash;
  ASSERT_TRUE(HashFile(file, &hash));
  EXPECT_EQ(hash, Sha256Text("twelve bytes"));

  std::vector<os::FolderEntry> entries;
  ASSERT_EQ(os::ListFolder(dir, &entries), os::kOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "caf\xC3\xA9.txt");
  EXPECT_EQ(entries[0].size, 12u);
  EXPECT_EQ(os::ListFolder(dir + "\\none", &entries), os::kErrorPathNotFound);

  // A file cut to its good beginning: writes go on from the cut, and what lay past it is gone.
  os::File update;
  ASSERT_EQ(update.OpenUpdate(file), os::kOk);
  ASSERT_EQ(update.Truncate(6), os::kOk);
  ASSERT_EQ(update.Write("!", 1), os::kOk);
  update.Close();
  EXPECT_EQ(os::ReadWholeFile(file, 12, &content), os::kOk);
  EXPECT_EQ(content, "twelve!");
}

TEST(Win32Seam, MoveErrorsByClass) {
  const std::string dir = TempFolder("moves");
  const std::string a = dir + "\\a", b = dir + "\\b";
  ASSERT_EQ(os::WriteWholeFile(a, "A"), os::kOk);
  ASSERT_EQ(os::WriteWholeFile(b, "B"), os::kOk);
  EXPECT_EQ(os::MoveReplace(dir + "\\missing", b), os::kErrorFileNotFound);
  EXPECT_EQ(os::MoveReplace(a, dir + "\\no\\such\\b"), os::kErrorPathNotFound);

  // A file held open without sharing can't be replaced: Windows says 32, Wine 5; both mean
  // "in use" to the launcher.
  std::wstring wide;
  ASSERT_TRUE(ToWide(b, &wide));
  HANDLE held = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const uint32_t error = os::MoveReplace(a, b);
  EXPECT_TRUE(error == os::kErrorSharingViolation || error == os::kErrorAccessDenied) << error;
  os::File reader;
  const uint32_t open_error = reader.OpenRead(b);
  EXPECT_TRUE(open_error == os::kErrorSharingViolation || open_error == os::kErrorAccessDenied) << open_error;
  CloseHandle(held);

  EXPECT_EQ(os::MoveReplace(a, b), os::kOk);
  std::string content;
  EXPECT_EQ(os::ReadWholeFile(b, 10, &content), os::kOk);
  EXPECT_EQ(content, "A");
  EXPECT_EQ(os::CopyFileOver(b, dir + "\\c"), os::kOk);
  EXPECT_EQ(os::DeleteFilePath(dir + "\\c"), os::kOk);
  EXPECT_EQ(os::DeleteFilePath(dir + "\\c"), os::kErrorFileNotFound);
  EXPECT_EQ(os::CreateFolder(dir), os::kErrorAlreadyExists);
}

TEST(Win32Seam, FoldersAreMadeBelowADrive) {
  const std::string dir = TempFolder("tree");
  os::CreateFolders(dir + "\\x\\y\\z");
  EXPECT_TRUE(os::GetFileFacts(dir + "\\x\\y\\z").is_folder);
}

TEST(Win32Seam, ModulePathNamesAndEnvironment) {
  const std::string path = os::ModulePath();
  EXPECT_TRUE(path.ends_with(".exe")) << path;
  EXPECT_TRUE(os::GetFileFacts(path).exists);

  std::string value;
  SetEnvironmentVariableW(L"VANTREL_SEAM", L"\x00e9t\x00e9");
  ASSERT_TRUE(os::GetEnv("VANTREL_SEAM", &value));
  EXPECT_EQ(value, "\xC3\xA9t\xC3\xA9");
  SetEnvironmentVariableW(L"VANTREL_SEAM", std::wstring(1024, L'x').c_str());
  EXPECT_FALSE(os::GetEnv("VANTREL_SEAM", &value));  // 1024 characters counts as missing
  SetEnvironmentVariableW(L"VANTREL_SEAM", std::wstring(1023, L'x').c_str());
  EXPECT_TRUE(os::GetEnv("VANTREL_SEAM", &value));
  SetEnvironmentVariableW(L"VANTREL_SEAM", nullptr);
  EXPECT_FALSE(os::GetEnv("VANTREL_SEAM", &value));

  os::NameForms name;
  ASSERT_TRUE(os::NetbiosComputerName(&name));
  EXPECT_FALSE(name.utf8.empty());
  EXPECT_EQ(name.ansi, name.utf8);  // an ASCII name is the same in the ANSI code page
  ASSERT_TRUE(os::LogonUserName(&name));
  EXPECT_FALSE(name.utf8.empty());
  EXPECT_NE(name.utf8.back(), '\0');
  ASSERT_TRUE(os::NameFormsOf("Jos\xC3\xA9", &name));
  EXPECT_EQ(name.ansi, "Jos\xE9");  // code page 1252

  std::string line;
  ASSERT_TRUE(os::CommandLine(&line));
  EXPECT_NE(line.find("wine_seam_tests"), std::string::npos);
}

TEST(Win32Seam, LockAndThread) {
  static os::Lock lock;
  static volatile LONG counter = 0;
  auto bump = [](void*) {
    for (int i = 0; i < 1000; ++i) {
      os::LockGuard guard(lock);
      counter = counter + 1;
    }
  };
  ASSERT_EQ(os::StartThread(bump, nullptr, 1048576), os::kOk);
  bump(nullptr);
  for (int i = 0; i < 500 && counter < 2000; ++i) Sleep(10);
  EXPECT_EQ(counter, 2000);
}

}  // namespace
}  // namespace vantrel
