#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "launcher/settings.h"
#include "support/os.h"
#include "test_support.h"

namespace vantrel {
namespace {

std::string Slot(const std::string& content) {
  std::string slot = content;
  slot.resize(kSiteSlotBytes, '\0');
  return slot;
}

TEST(SiteSlot, ValidAddressesLoseTrailingSlashes) {
  EXPECT_EQ(AddressFromSlot(Slot("https://realm.example/").data()), "https://realm.example");
  EXPECT_EQ(AddressFromSlot(Slot("http://realm.example:8080/base///").data()), "http://realm.example:8080/base");
  EXPECT_EQ(AddressFromSlot(Slot("https://").data()), "https:");
  const std::string full = "https://" + std::string(kSiteSlotBytes - 8, 'a');  // no NUL at all
  EXPECT_EQ(AddressFromSlot(full.data()), full);
}

TEST(SiteSlot, AnythingElseIsNoAddress) {
  EXPECT_EQ(AddressFromSlot(Slot("").data()), "");
  EXPECT_EQ(AddressFromSlot(Slot("ftp://realm").data()), "");
  EXPECT_EQ(AddressFromSlot(Slot("HTTPS://realm").data()), "");
  EXPECT_EQ(AddressFromSlot(Slot("https://realm .example").data()), "");
  EXPECT_EQ(AddressFromSlot(Slot("https://realm\x01x").data()), "");
  EXPECT_EQ(AddressFromSlot(Slot("https://r\xC3\xA9").data()), "");
  // Bytes after the first NUL don't count.
  std::string slot = Slot("https://realm");
  slot[20] = ' ';
  EXPECT_EQ(AddressFromSlot(slot.data()), "https://realm");
}

TEST(SiteSlot, TheBuiltSlotIsEmpty) {
  EXPECT_EQ(EmbeddedAddress(), "");
  EXPECT_FALSE(EmbeddedKeys().stamped);
}

TEST(KeySlot, DamageNeverTurnsTheCheckOff) {
  const std::string line = "RWQouA0/cYBVCBgAiq/GxCcdU4qf/gh+GKrGTlgV8t06Hrso2PD5VE4b";
  std::string slot(kKeySlotBytes, '\0');
  EXPECT_FALSE(KeysFromSlot(slot.data()).stamped);
  slot.replace(0, line.size() + 1, line + "\n");
  RealmKeys keys = KeysFromSlot(slot.data());
  EXPECT_TRUE(keys.stamped);
  ASSERT_EQ(keys.keys.size(), 1u);
  EXPECT_EQ(MinisignKeyLine(keys.keys[0]), line);
  slot[3] = '!';
  keys = KeysFromSlot(slot.data());
  EXPECT_TRUE(keys.stamped);
  EXPECT_TRUE(keys.keys.empty());
}

TEST(HostLabel, HostPartOrLocal) {
  EXPECT_EQ(HostLabel("https://realm.example:8443/path"), "realm.example");
  EXPECT_EQ(HostLabel("http://127.0.0.1:9000"), "127.0.0.1");
  EXPECT_EQ(HostLabel("https://realm.example/x"), "realm.example");
  EXPECT_EQ(HostLabel("https:"), "local");
  EXPECT_EQ(HostLabel("https://:80/x"), "local");
  EXPECT_EQ(HostLabel(""), "local");
}

TEST(LauncherLine, HashPrefixAndRealm) {
  EXPECT_EQ(LauncherLine(std::string(64, 'a'), "https://r"), "Launcher aaaaaaaa for https://r");
  EXPECT_EQ(LauncherLine(std::string(64, '?'), ""), "Launcher ???????? for no realm");
}

TEST(SettingsFolder, AppdataOrBesideTheProgram) {
  EXPECT_EQ(SettingsFolder("C:\\Users\\p\\AppData\\Roaming", "C:\\Games\\L.exe", "realm.example"),
            "C:\\Users\\p\\AppData\\Roaming\\Vantrel Launcher\\realm.example");
  EXPECT_EQ(SettingsFolder("", "C:\\Games\\L.exe", "local"), "C:\\Games\\Vantrel Launcher\\local");
}

TEST(Settings, ReadingRules) {
  Settings s = ParseSettings("game_dir = C:\\Games\\D2 \r\nwindowed =  TRUE \r\n");
  EXPECT_EQ(s.game_dir, "C:\\Games\\D2");
  EXPECT_TRUE(s.windowed);
  EXPECT_FALSE(ParseSettings("windowed=yes").windowed);
  EXPECT_FALSE(ParseSettings("windowed=2").windowed);
  EXPECT_TRUE(ParseSettings("windowed=1").windowed);
  EXPECT_FALSE(ParseSettings("windowed=1\nwindowed=0").windowed);  // the last line wins
  EXPECT_EQ(ParseSettings("game_dir=C:\\a=b\\c").game_dir, "C:\\a=b\\c");
  EXPECT_EQ(ParseSettings("GAME_DIR=C:\\x").game_dir, "");
  EXPECT_EQ(ParseSettings("no equals here\n=value\ngame_dir=\tX\t").game_dir, "X");
  EXPECT_EQ(ParseSettings(std::string("\0\xff\xfe=1\ngame_dir=ok", 17)).game_dir, "ok");
  EXPECT_EQ(ParseSettings("game_dir=" + std::string(700, 'd')).game_dir.size(), 600u);
}

TEST(Settings, WrittenFormIsExact) {
  EXPECT_EQ(FormatSettings("C:\\Games\\D2", true), "game_dir=C:\\Games\\D2\r\nwindowed=1\r\n");
  EXPECT_EQ(FormatSettings("", false), "game_dir=\r\nwindowed=0\r\n");
}

TEST(Settings, LoadIgnoresOversizedFilesAndSaveReplacesWhole) {
  testing::TempDir dir;
  const std::string file = SettingsFilePath(dir.path());
  testing::WriteFile(dir / "settings.txt", "game_dir=C:\\big\n" + std::string(70000, '#'));
  EXPECT_EQ(LoadSettings(file).game_dir, "");
  testing::WriteFile(dir / "settings.txt", "game_dir=C:\\ok\n" + std::string(65536 - 15, '#'));
  EXPECT_EQ(LoadSettings(file).game_dir, "C:\\ok");  // exactly 65,536 bytes is still read

  LauncherState state;
  state.game_folder.Set(std::string(700, 'g'));
  state.windowed = true;
  SaveSettings(state, file);
  EXPECT_EQ(testing::ReadFile(dir / "settings.txt"), "game_dir=" + std::string(600, 'g') + "\r\nwindowed=1\r\n");
  EXPECT_FALSE(os::GetFileFacts(dir / "settings.txt.tmp").exists);
}

TEST(Settings, SaveOnAFullDiskKeepsTheSavedFile) {
  testing::SmallDisk disk(64 * 1024);
  if (!disk.ok()) GTEST_SKIP() << "needs root to mount a small disk";
  testing::WriteFile(disk / "settings.txt", "game_dir=C:\\kept\r\nwindowed=0\r\n");
  disk.Fill();
  LauncherState state;
  state.game_folder.Set(std::string(600, 'n'));
  state.windowed = true;
  SaveSettings(state, SettingsFilePath(disk.path()));
  EXPECT_EQ(testing::ReadFile(disk / "settings.txt"), "game_dir=C:\\kept\r\nwindowed=0\r\n");
  EXPECT_FALSE(os::GetFileFacts(disk / "settings.txt.tmp").exists);
}

// The whole sequence natively: APPDATA decides the settings folder, the settings are read,
// and the executable is hashed into the launcher line.
TEST(Startup, FillsStateAndContext) {
  testing::TempDir dir;
  const std::string saved_appdata = std::getenv("APPDATA") ? std::getenv("APPDATA") : "";
  setenv("APPDATA", dir.path().c_str(), 1);
  setenv("USERPROFILE", "C:\\Users\\Mira Lund", 1);
  testing::WriteFile(dir / "Vantrel Launcher/local/settings.txt", "game_dir=/games/d2\nwindowed=true\n");

  LauncherState state;
  WorkerContext context;
  RunStartup(state, context);
  EXPECT_EQ(context.realm_address, "");
  EXPECT_EQ(context.settings_folder, dir.path() + "\\Vantrel Launcher\\local");
  EXPECT_EQ(state.game_folder.View(), "/games/d2");
  EXPECT_TRUE(state.windowed);
  EXPECT_EQ(state.game_program.View(), "Diablo II.exe");
  EXPECT_EQ(state.status_headline.View(), "Starting");
  EXPECT_FALSE(context.own_path.empty());
  EXPECT_TRUE(state.launcher_line.View().starts_with("Launcher "));
  EXPECT_TRUE(state.launcher_line.View().ends_with(" for no realm"));
  EXPECT_EQ(state.launcher_line.View().find('?'), std::string_view::npos);
  EXPECT_FALSE(context.started_after_update);
  bool has_profile_name = false;
  for (const std::string& name : context.user_names) has_profile_name |= name == "Mira Lund";
  EXPECT_TRUE(has_profile_name);
  EXPECT_FALSE(context.computer_names.empty());

  if (saved_appdata.empty()) {
    unsetenv("APPDATA");
  } else {
    setenv("APPDATA", saved_appdata.c_str(), 1);
  }
}

TEST(Startup, OverlongAppdataCountsAsMissing) {
  const std::string saved = std::getenv("APPDATA") ? std::getenv("APPDATA") : "";
  setenv("APPDATA", std::string(1024, 'a').c_str(), 1);
  LauncherState state;
  WorkerContext context;
  RunStartup(state, context);
  EXPECT_EQ(context.settings_folder, FolderOf(context.own_path) + "\\Vantrel Launcher\\local");
  if (saved.empty()) {
    unsetenv("APPDATA");
  } else {
    setenv("APPDATA", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace vantrel
