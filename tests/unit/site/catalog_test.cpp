#include "realm-site/catalog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "realm/manifest.h"
#include "support/sha256.h"
#include "unit/site/site_fixture.h"

namespace vantrel::site {
namespace {

class CatalogTest : public RealmFolder {
 protected:
  RealmConfig Config() {
    RealmConfig config;
    std::string error;
    EXPECT_TRUE(LoadRealmConfig(root_, &config, &error)) << error;
    return config;
  }
  std::string RefreshError() {
    Site site(root_, Config());
    std::string error;
    EXPECT_FALSE(site.Refresh(&error));
    return error;
  }
  // Moves a file's modification time so a rewrite of equal size is seen as a change.
  void Touch(const std::string& relative, int64_t seconds) {
    const std::string path = root_ + "/" + relative;
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
};

TEST_F(CatalogTest, ManifestListsEveryFileSortedWithHashAndSize) {
  Write("files/Game.exe", "game");
  Write("files/Data/Local/x.dll", std::string(3000, 'x'));
  Write("files/data/b.txt", "");  // byte order puts "Data" before "data"
  Site site(root_, Config());
  std::string error;
  ASSERT_TRUE(site.Refresh(&error)) << error;

  const auto manifest = nlohmann::json::parse(site.Current()->manifest);
  EXPECT_EQ(manifest["realm"], "Test Realm");
  EXPECT_EQ(manifest["address"], "play.test");
  EXPECT_EQ(manifest["start"]["exe"], "Game.exe");
  EXPECT_TRUE(manifest["launcher"].is_null());
  const auto& files = manifest["files"];
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0]["path"], "Data/Local/x.dll");
  EXPECT_EQ(files[0]["size"], 3000);
  EXPECT_EQ(files[0]["sha256"], Sha256Text(std::string(3000, 'x')));
  EXPECT_EQ(files[1]["path"], "Game.exe");
  EXPECT_EQ(files[2]["path"], "data/b.txt");
  EXPECT_EQ(files[2]["sha256"], Sha256Text(""));
  // The launcher's own reader sees the same list.
  Manifest as_read;
  ASSERT_TRUE(ParseManifest(site.Current()->manifest, &as_read));
  ASSERT_EQ(as_read.files.size(), 3u);
  EXPECT_EQ(as_read.files[0].path, "Data/Local/x.dll");
  EXPECT_EQ(as_read.files[0].size, 3000u);
  EXPECT_EQ(as_read.exe, "Game.exe");
  EXPECT_FALSE(as_read.has_launcher);

  Write("launcher/VantrelLauncher.exe", "MZ build 2");
  ASSERT_TRUE(site.Refresh(&error)) << error;
  const auto with_launcher = nlohmann::json::parse(site.Current()->manifest);
  EXPECT_EQ(with_launcher["launcher"]["sha256"], Sha256Text("MZ build 2"));
  EXPECT_EQ(with_launcher["launcher"]["size"], 10);
}

TEST_F(CatalogTest, RefusesPathsTheLauncherWouldRefuseNamingThem) {
  Write("files/ok.txt", "1");
  Write("files/Data/con.txt", "1");
  EXPECT_NE(RefreshError().find("files/Data/con.txt"), std::string::npos);
  std::filesystem::remove(root_ + "/files/Data/con.txt");
  Write("files/Data/name with trailing dot.", "1");
  EXPECT_NE(RefreshError().find("files/Data/name with trailing dot."), std::string::npos);
  std::filesystem::remove_all(root_ + "/files/Data");
  Write("files/caf\xc3\xa9.txt", "1");
  EXPECT_NE(RefreshError().find("files/caf"), std::string::npos);
  std::filesystem::remove(root_ + "/files/caf\xc3\xa9.txt");
  Write("files/OK.TXT", "2");
  const std::string collision = RefreshError();
  EXPECT_NE(collision.find("files/OK.TXT and files/ok.txt"), std::string::npos) << collision;
  std::filesystem::remove_all(root_ + "/files");
  EXPECT_NE(RefreshError().find("files is missing"), std::string::npos);
}

TEST_F(CatalogTest, CacheSkipsUnchangedFilesAndCatchesChangedOnes) {
  Write("files/a.bin", "first");
  Write("files/b.bin", "other");
  {
    Site site(root_, Config());
    std::string error;
    ASSERT_TRUE(site.Refresh(&error)) << error;
    EXPECT_EQ(site.hashed_count(), 2u);
    ASSERT_TRUE(site.Refresh(&error));
    EXPECT_EQ(site.hashed_count(), 2u);  // a rescan only stats
  }
  // A restart reads the hashes from the cache file.
  Site restarted(root_, Config());
  std::string error;
  ASSERT_TRUE(restarted.Refresh(&error)) << error;
  EXPECT_EQ(restarted.hashed_count(), 0u);
  const std::string before = restarted.Current()->manifest;

  Write("files/a.bin", "FIRST");  // same size
  Touch("files/a.bin", 1000000);
  std::filesystem::remove(root_ + "/files/b.bin");
  ASSERT_TRUE(restarted.Refresh(&error)) << error;
  EXPECT_EQ(restarted.hashed_count(), 1u);
  const auto manifest = nlohmann::json::parse(restarted.Current()->manifest);
  ASSERT_EQ(manifest["files"].size(), 1u);
  EXPECT_EQ(manifest["files"][0]["sha256"], Sha256Text("FIRST"));
  EXPECT_NE(restarted.Current()->manifest, before);
  // The deleted file's entry is dropped from the cache file too.
  EXPECT_EQ(Read(root_ + "/" + kCacheFileName).find("b.bin"), std::string::npos);
}

TEST_F(CatalogTest, NeverPublishesWhatTheLauncherWouldRefuse) {
  Write("files/Game.exe", "game");
  RealmConfig config = Config();
  config.address.clear();  // past realm.json's checks, as a caller building the config might
  Site site(root_, config);
  std::string error;
  EXPECT_FALSE(site.Refresh(&error));
  EXPECT_EQ(error, "the launcher would refuse this realm: the realm's address is missing");
  EXPECT_EQ(site.Current(), nullptr);
}

TEST_F(CatalogTest, RefusesOperatorMistakesNamingThem) {
  Write("files/Game.exe", "game");
  Write("realm-secret.txt", "not for players");
  // A link inside files/ is served as its target; one leading out of it is refused by name.
  std::filesystem::create_symlink("Game.exe", root_ + "/files/Copy.exe");
  Site site(root_, Config());
  std::string error;
  ASSERT_TRUE(site.Refresh(&error)) << error;
  EXPECT_EQ(site.Current()->Find("Copy.exe")->sha256, Sha256Text("game"));
  std::filesystem::create_symlink("../realm-secret.txt", root_ + "/files/leak.txt");
  const std::string leak = RefreshError();
  EXPECT_NE(leak.find("files/leak.txt is a link to"), std::string::npos) << leak;
  std::filesystem::remove(root_ + "/files/leak.txt");

  // A manifest past the launcher's 4 MiB would make every launcher fail: say how large.
  // The files' hashes are in the cache already, as after a restart: only the listing counts.
  const std::string folder = std::string(150, 'd') + "/";
  std::filesystem::create_directories(root_ + "/files/" + folder);
  std::ofstream cache(root_ + "/" + kCacheFileName, std::ios::binary | std::ios::trunc);
  for (int i = 0; i < 14000; ++i) {
    const std::string name = folder + std::string(40, 'f') + std::to_string(i);
    std::ofstream(root_ + "/files/" + name);
    struct stat facts {};
    ASSERT_EQ(stat((root_ + "/files/" + name).c_str(), &facts), 0);
    cache << Sha256Text("") << " 0 " << facts.st_mtim.tv_sec * 1000000000 + facts.st_mtim.tv_nsec << " files/" << name
          << "\n";
  }
  cache.close();
  const std::string oversize = RefreshError();
  EXPECT_NE(oversize.find("over the launcher's limit of 4194304 bytes"), std::string::npos) << oversize;
  EXPECT_NE(oversize.find("the manifest would be 4"), std::string::npos) << oversize;
}

TEST(HashCacheFile, IgnoresDamagedLinesAndKeepsKeysWithSpaces) {
  const std::string path = (std::filesystem::temp_directory_path() / "realm-site-cache-test").string();
  const std::string hash = Sha256Text("x");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << hash << " 1 5 files/Diablo II.exe\n"
                                                          << "garbage\n"
                                                          << "ABC 1 5 files/upper.txt\n"
                                                          << hash << " notanumber 5 files/n.txt\n";
  HashCache cache;
  cache.Load(path);
  ASSERT_NE(cache.Find("files/Diablo II.exe", 1, 5), nullptr);
  EXPECT_EQ(*cache.Find("files/Diablo II.exe", 1, 5), hash);
  EXPECT_EQ(cache.Find("files/Diablo II.exe", 1, 6), nullptr);
  EXPECT_EQ(cache.Find("files/upper.txt", 1, 5), nullptr);
  EXPECT_EQ(cache.Find("files/n.txt", 1, 5), nullptr);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace vantrel::site
