// Game start under Wine: the registry read, process start codes, the clipboard, and the
// Play action itself against the stand-in game built beside this test.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "game/actions.h"
#include "support/clipboard.h"
#include "support/os.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/win_text.h"

namespace vantrel {
namespace {

constexpr wchar_t kTestKey[] = L"Software\\VantrelTest\\Registry";
constexpr wchar_t kGatewayKey[] = L"Software\\Battle.net\\Configuration";
constexpr wchar_t kGatewayValue[] = L"Diablo II Battle.net Gateways";

void SetValue(const wchar_t* key, const wchar_t* value, DWORD type, const std::wstring& data) {
  HKEY handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr), 0);
  ASSERT_EQ(RegSetValueExW(handle, value, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size() * sizeof(wchar_t))),
            0);
  RegCloseKey(handle);
}

// REG_MULTI_SZ data: each string with its NUL, then the empty string that ends the list.
std::wstring MultiSz(std::initializer_list<const wchar_t*> strings) {
  std::wstring data;
  for (const wchar_t* s : strings) data.append(s).push_back(L'\0');
  data.push_back(L'\0');
  return data;
}

void DeleteValue(const wchar_t* key, const wchar_t* value) { RegDeleteKeyValueW(HKEY_CURRENT_USER, key, value); }

std::string TempFolder(const char* name) {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::string folder;
  FromWide(base, wcslen(base), &folder);
  folder += "vantrel-game-" + std::string(name) + "-" + std::to_string(GetCurrentProcessId());
  os::CreateFolders(folder);
  return folder;
}

std::string BuildFolder() {
  const std::string own = os::ModulePath();
  return own.substr(0, own.find_last_of('\\'));
}

TEST(RegistrySeam, ReadsMultiStringUnitsAndRefusesOtherTypes) {
  SetValue(kTestKey, L"list", REG_MULTI_SZ, MultiSz({L"1002", L"1", L"realm"}));
  std::u16string units;
  ASSERT_EQ(os::ReadUserMultiString("Software\\VantrelTest\\Registry", "list", &units), os::kOk);
  EXPECT_EQ(units, std::u16string(u"1002\0"
                                  u"1\0"
                                  u"realm\0\0",
                                  14));

  SetValue(kTestKey, L"plain", REG_SZ, std::wstring(L"1002\0", 5));
  EXPECT_EQ(os::ReadUserMultiString("Software\\VantrelTest\\Registry", "plain", &units), os::kErrorDatatypeMismatch);
  SetValue(kTestKey, L"empty", REG_MULTI_SZ, std::wstring());
  EXPECT_EQ(os::ReadUserMultiString("Software\\VantrelTest\\Registry", "empty", &units), os::kErrorInvalidData);
  EXPECT_EQ(os::ReadUserMultiString("Software\\VantrelTest\\Registry", "absent", &units), os::kErrorFileNotFound);
  EXPECT_NE(os::ReadUserMultiString("Software\\VantrelTest\\NoSuchKey", "list", &units), os::kOk);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VantrelTest");
}

TEST(ProcessSeam, StartFailuresKeepTheirWindowsCodes) {
  const std::string dir = TempFolder("start");
  EXPECT_EQ(os::StartProcess(dir + "\\missing.exe", "\"" + dir + "\\missing.exe\"", dir), os::kErrorFileNotFound);
  ASSERT_EQ(os::WriteWholeFile(dir + "\\text.exe", "this is no program, only some text\r\n"), os::kOk);
  EXPECT_EQ(os::StartProcess(dir + "\\text.exe", "\"" + dir + "\\text.exe\"", dir), 193u);
}

std::string ReadClipboard() {
  std::string text;
  if (!OpenClipboard(nullptr)) return "<not opened>";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* wide = static_cast<const wchar_t*>(GlobalLock(data))) {
      FromWide(wide, wcslen(wide), &text);
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

TEST(ClipboardSeam, TextRoundTripsAndABusyClipboardIsLeftAlone) {
  const std::string link = "https://realm.example/r/caf\xC3\xA9-\xF0\x9F\x98\x80";
  ASSERT_EQ(os::SetClipboardText(nullptr, link), os::kOk);
  EXPECT_EQ(ReadClipboard(), link);

  // Another program holding the clipboard open makes the copy fail without touching it.
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"";
  std::wstring build;
  ASSERT_TRUE(ToWide(BuildFolder(), &build));
  command += build + L"\\clipboard_tool.exe\" hold 2000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  PROCESS_INFORMATION holder = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &holder));
  CloseHandle(write_end);
  char said[16] = {};
  DWORD got = 0;
  ReadFile(read_end, said, sizeof(said) - 1, &got, nullptr);  // "holding" once it has the clipboard
  EXPECT_EQ(std::string(said, got).substr(0, 7), "holding");
  EXPECT_NE(os::SetClipboardText(nullptr, "https://other.example/"), os::kOk);
  WaitForSingleObject(holder.hProcess, 10000);
  CloseHandle(holder.hProcess);
  CloseHandle(holder.hThread);
  CloseHandle(read_end);
  EXPECT_EQ(ReadClipboard(), link);
  EXPECT_NE(os::SetClipboardText(nullptr, "bad \xC3"), os::kOk);
}

class PlayUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder("play");
    ASSERT_EQ(os::CopyFileOver(BuildFolder() + "\\stand_in_game.exe", folder_ + "\\Diablo II.exe"), os::kOk);
    os::DeleteFilePath(Record());
    context_.state = &state_;
    state_.game_folder.Set(folder_);
    state_.game_program.Set("Diablo II.exe");
    state_.realm_game_address.Set("play.vantrel.example");
    state_.realm_name.Set("Vantrel");
  }
  void TearDown() override { DeleteValue(kGatewayKey, kGatewayValue); }

  std::string Record() const { return folder_ + "\\stand-in-record.txt"; }
  std::string WaitForRecord() const {
    std::string content;
    for (int i = 0; i < 1000; ++i) {
      if (os::ReadWholeFile(Record(), 65536, &content) == os::kOk) return content;
      Sleep(20);
    }
    return "<no record>";
  }

  std::string folder_;
  LauncherState state_;
  WorkerContext context_;
};

TEST_F(PlayUnderWine, SelectedGatewayStartsTheGameWithItsArguments) {
  SetValue(
      kGatewayKey, kGatewayValue, REG_MULTI_SZ,
      MultiSz({L"1002", L" 2 ", L"eu.example", L"-1", L"Europe", L" PLAY.vantrel.example ", L"-1", L"Vantrel East"}));
  state_.game_arguments.Set(" -direct  -txt ");
  state_.windowed = true;
  state_.gateway_missing = true;
  PlayAction(context_);
  EXPECT_EQ(state_.status_headline.Copy(), "The game is starting");
  EXPECT_FALSE(state_.gateway_missing);
  EXPECT_EQ(WaitForRecord(),
            "command line: \"" + folder_ + "\\Diablo II.exe\" -direct  -txt -w\ncurrent folder: " + folder_ + "\n");
}

TEST_F(PlayUnderWine, ListedGatewayStartsTheGameAndNamesTheEntry) {
  SetValue(kGatewayKey, kGatewayValue, REG_MULTI_SZ,
           MultiSz({L"1002", L"1", L"eu.example", L"-1", L"Europe", L"play.vantrel.example", L"-1", L"Vantrel East"}));
  PlayAction(context_);
  EXPECT_EQ(state_.status_headline.Copy(), "Pick Vantrel East in the game");
  EXPECT_EQ(WaitForRecord(), "command line: \"" + folder_ + "\\Diablo II.exe\"\ncurrent folder: " + folder_ + "\n");
}

TEST_F(PlayUnderWine, AGatewayValueOfTheWrongShapeCountsAsMissing) {
  SetValue(kGatewayKey, kGatewayValue, REG_SZ, std::wstring(L"play.vantrel.example\0", 21));
  PlayAction(context_);
  EXPECT_EQ(state_.status_headline.Copy(), "Add the realm to your gateways first");
  EXPECT_TRUE(state_.gateway_missing);
  SetValue(kGatewayKey, kGatewayValue, REG_MULTI_SZ, MultiSz({L"1002"}));
  state_.gateway_missing = false;
  PlayAction(context_);
  EXPECT_TRUE(state_.gateway_missing);
  Sleep(300);
  EXPECT_EQ(os::GetFileFacts(Record()).exists, false);
}

TEST_F(PlayUnderWine, AFolderEndingInASeparatorIsPassedOnAsItStands) {
  state_.realm_game_address.Clear();
  state_.game_folder.Set(folder_ + "\\");
  PlayAction(context_);
  EXPECT_EQ(state_.status_headline.Copy(), "The game is starting");
  const std::string record = WaitForRecord();
  EXPECT_EQ(record.substr(0, record.find('\n')), "command line: \"" + folder_ + "\\\\Diablo II.exe\"");
}

TEST_F(PlayUnderWine, AFileThatIsNoProgramIsExplained) {
  state_.realm_game_address.Clear();
  ASSERT_EQ(os::WriteWholeFile(folder_ + "\\Diablo II.exe", "plain text, not a program\r\n"), os::kOk);
  PlayAction(context_);
  EXPECT_EQ(state_.status_headline.Copy(), "The game didn't start");
  EXPECT_EQ(state_.status_detail.Copy(),
            "Diablo II.exe: it isn't a program this Windows can run (Windows error 193). In " + folder_);
}

}  // namespace
}  // namespace vantrel
