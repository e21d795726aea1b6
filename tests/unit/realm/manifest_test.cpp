// Reading, validating, judging and publishing the realm's manifest.
#include "realm/manifest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/sha256.h"

namespace vantrel {
namespace {

const std::string kHash = Sha256Text("game file");
const std::string kFile = R"({"path":"data/a.mpq","sha256":")" + kHash + R"(","size":5})";

std::string WithAddress(const std::string& members) {
  return R"({"address":"play.example.net")" + (members.empty() ? "" : "," + members) + "}";
}

bool Parses(const std::string& body) {
  Manifest manifest;
  return ParseManifest(body, &manifest);
}

Manifest Parsed(const std::string& body) {
  Manifest manifest;
  EXPECT_TRUE(ParseManifest(body, &manifest)) << body;
  return manifest;
}

std::string_view Fault(const std::string& body) {
  static Manifest manifest;
  manifest = Manifest();
  if (!ParseManifest(body, &manifest)) return "(not parsed)";
  return ValidateManifest(manifest);
}

TEST(ManifestParse, ReadsEveryFieldInOrder) {
  const std::string other = Sha256Text("other");
  const Manifest m = Parsed(R"({"realm":"Caf\u00e9 Realm","address":"play.example.net","site":"https://x",)"
                            R"("revision":"r42","news":"Ladder reset","start":{"exe":"Game.exe","args":"-w -direct"},)"
                            R"("launcher":{"sha256":")" +
                            other + R"(","size":"123"},"files":[)" + kFile + R"(,{"path":"b.dll","sha256":")" + other +
                            R"(","size":0}]})");
  EXPECT_EQ(m.realm, "Caf\xC3\xA9 Realm");
  EXPECT_EQ(m.address, "play.example.net");
  EXPECT_EQ(m.revision, "r42");
  EXPECT_EQ(m.news, "Ladder reset");
  EXPECT_EQ(m.exe, "Game.exe");
  EXPECT_EQ(m.args, "-w -direct");
  EXPECT_TRUE(m.has_launcher);
  EXPECT_EQ(m.launcher_sha256, other);
  EXPECT_EQ(m.launcher_size, 123u);
  ASSERT_EQ(m.files.size(), 2u);
  EXPECT_EQ(m.files[0].path, "data/a.mpq");
  EXPECT_EQ(m.files[0].sha256, kHash);
  EXPECT_EQ(m.files[0].size, 5u);
  EXPECT_EQ(m.files[1].path, "b.dll");
  EXPECT_EQ(m.files[1].size, 0u);
  EXPECT_EQ(ValidateManifest(m), "");
}

TEST(ManifestParse, AbsentKeysTakeTheirDefaults) {
  const Manifest m = Parsed(WithAddress(R"("start":{})"));
  EXPECT_EQ(m.realm, "");
  EXPECT_EQ(m.exe, "Diablo II.exe");
  EXPECT_EQ(m.args, "");
  EXPECT_FALSE(m.has_launcher);
  EXPECT_TRUE(m.files.empty());
  EXPECT_EQ(ValidateManifest(m), "");

  EXPECT_FALSE(Parsed(WithAddress(R"("launcher":null)")).has_launcher);
  // An empty object parses and is then refused for its address.
  EXPECT_EQ(Fault("{}"), "the realm's address is missing");
  EXPECT_EQ(Fault(" \r\n\t{ } \n"), "the realm's address is missing");
}

TEST(ManifestParse, RefusesAnythingButOneObject) {
  for (const std::string& body : std::vector<std::string>{
           "", "   ", "[]", "[{}]", "null", "\"x\"", "42", "{", "{} {}", "{}x", "{}\n[]", R"({"address":"a",})",
           R"({"address":'a'})", "{\"address\":\"a\xff\"}", R"({"address":"\ud800"})", "{} // note"}) {
    EXPECT_FALSE(Parses(body)) << body;
  }
}

TEST(ManifestParse, RefusesAKnownKeyTwiceInOneObject) {
  EXPECT_FALSE(Parses(R"({"address":"a","address":"a"})"));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[],"files":[])")));
  EXPECT_FALSE(Parses(WithAddress(R"("launcher":null,"launcher":null)")));
  EXPECT_FALSE(Parses(WithAddress(R"("start":{"exe":"a.exe","exe":"a.exe"})")));
  EXPECT_FALSE(Parses(WithAddress(R"("launcher":{"sha256":")" + kHash + R"(","size":1,"size":1})")));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[{"path":"a","path":"a","sha256":")" + kHash + R"(","size":1}])")));
  // The same key in two different objects, or an unknown key twice, is fine.
  EXPECT_TRUE(Parses(WithAddress(R"("files":[)" + kFile + "," + kFile + "]")));
  EXPECT_TRUE(Parses(WithAddress(R"("extra":1,"extra":2)")));
}

TEST(ManifestParse, SkipsUnknownKeysWithTheirWholeValueAtEveryLevel) {
  const std::string unknown =
      R"("o":{"address":1,"address":2,"files":"x","n":[{"deep":[[]]}]},"a":[1,"two",null,{"x":{}}],)"
      R"("n":-1.5e3,"u":18446744073709551616,"t":true,"f":false,"z":null,"s":"text")";
  const Manifest m = Parsed(WithAddress(unknown + R"(,"start":{)" + unknown + R"(,"exe":"g.exe"},"launcher":{)" +
                                        unknown + R"(,"sha256":")" + kHash + R"(","size":9},"files":[{)" + unknown +
                                        R"(,"path":"p","sha256":")" + kHash + R"(","size":3}])"));
  EXPECT_EQ(m.address, "play.example.net");
  EXPECT_EQ(m.exe, "g.exe");
  EXPECT_EQ(m.launcher_size, 9u);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, "p");
  EXPECT_EQ(m.files[0].size, 3u);
  // Keys match exactly: another case is another (unknown) key.
  EXPECT_EQ(Parsed(R"({"Address":"x"})").address, "");
}

// A launcher that predates maps skips the key whatever it holds, so a map of any wrong shape
// costs only the map: the entry and the document stand.
TEST(ManifestParse, ABlockmapIsReadWhenWellFormedAndOtherwiseOnlyDropped) {
  const std::string map_hash = Sha256Text("map");
  auto entry = [](const std::string& blockmap) {
    return Parsed(WithAddress(R"("files":[{"path":"a","sha256":")" + kHash + R"(","size":5,"blockmap":)" + blockmap +
                              "}]"))
        .files.at(0);
  };
  const ManifestFile good = entry(R"({"size":"1.2e3","x":[1],"sha256":")" + map_hash + R"("})");
  EXPECT_TRUE(good.has_blockmap);
  EXPECT_EQ(good.blockmap_size, 1200u);
  EXPECT_EQ(good.blockmap_sha256, map_hash);
  EXPECT_EQ(good.size, 5u);
  for (const std::string& bad : std::vector<std::string>{
           "null",
           "7",
           R"("x")",
           "[1,{}]",
           "{}",
           R"({"size":1})",
           R"({"size":-1,"sha256":")" + map_hash + R"("})",
           R"({"size":1.5,"sha256":")" + map_hash + R"("})",
           R"({"size":{"a":1},"sha256":")" + map_hash + R"("})",
           R"({"size":1,"sha256":["x"]})",
           R"({"size":1,"sha256":")" + std::string(64, 'A') + R"("})",
           R"({"size":1,"size":1,"sha256":")" + map_hash + R"("})",
       }) {
    const ManifestFile dropped = entry(bad);
    EXPECT_FALSE(dropped.has_blockmap) << bad;
    EXPECT_EQ(dropped.sha256, kHash) << bad;
  }
  // Named twice: no map. Other keys given twice still refuse the document.
  EXPECT_FALSE(
      entry(R"({"size":1,"sha256":")" + map_hash + R"("},"blockmap":{"size":1,"sha256":")" + map_hash + R"("})")
          .has_blockmap);
  EXPECT_FALSE(
      Parses(WithAddress(R"("files":[{"path":"a","blockmap":7,"path":"b","sha256":")" + kHash + R"(","size":5}])")));
}

TEST(ManifestParse, RefusesKnownKeysOfTheWrongType) {
  for (const std::string& members :
       std::vector<std::string>{R"("realm":null)",
                                R"("news":5)",
                                R"("site":true)",
                                R"("revision":{})",
                                R"("start":"g.exe")",
                                R"("start":null)",
                                R"("start":[])",
                                R"("launcher":"x")",
                                R"("launcher":[])",
                                R"("launcher":false)",
                                R"("files":{})",
                                R"("files":null)",
                                R"("files":[1])",
                                R"("files":[[]])",
                                R"("files":[null])",
                                R"("files":"a")",
                                R"("start":{"exe":null})",
                                R"("start":{"args":["-w"]})",
                                R"("launcher":{"sha256":1,"size":1})",
                                R"("launcher":{"sha256":")" + kHash + R"(","size":true})",
                                R"("files":[{"path":1,"sha256":")" + kHash + R"(","size":1}])",
                                R"("files":[{"path":"a","sha256":")" + kHash + R"(","size":null}])"}) {
    EXPECT_FALSE(Parses(WithAddress(members))) << members;
  }
  EXPECT_FALSE(Parses(R"({"address":7})"));
}

TEST(ManifestParse, RequiresEveryKeyOfALauncherObjectAndOfAFileEntry) {
  EXPECT_FALSE(Parses(WithAddress(R"("launcher":{"sha256":")" + kHash + R"("})")));
  EXPECT_FALSE(Parses(WithAddress(R"("launcher":{"size":1})")));
  EXPECT_FALSE(Parses(WithAddress(R"("launcher":{})")));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[{"sha256":")" + kHash + R"(","size":1}])")));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[{"path":"a","size":1}])")));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[{"path":"a","sha256":")" + kHash + R"("}])")));
  EXPECT_FALSE(Parses(WithAddress(R"("files":[)" + kFile + ",{}]")));
}

uint64_t FileSize(const std::string& size_json) {
  const Manifest m =
      Parsed(WithAddress(R"("files":[{"path":"a","sha256":")" + kHash + R"(","size":)" + size_json + "}]"));
  return m.files.empty() ? 999999 : m.files[0].size;
}

bool SizeParses(const std::string& size_json) {
  return Parses(WithAddress(R"("launcher":{"sha256":")" + kHash + R"(","size":)" + size_json + "}"));
}

TEST(ManifestParse, SizesAreWholeNumbersFromNumbersOrNumericStrings) {
  EXPECT_EQ(FileSize("1000"), 1000u);
  EXPECT_EQ(FileSize("\"1000\""), 1000u);
  EXPECT_EQ(FileSize("1e3"), 1000u);
  EXPECT_EQ(FileSize("\"1E+3\""), 1000u);
  EXPECT_EQ(FileSize("1000.000"), 1000u);
  EXPECT_EQ(FileSize("1.5e1"), 15u);
  EXPECT_EQ(FileSize("2500e-2"), 25u);
  EXPECT_EQ(FileSize("0"), 0u);
  EXPECT_EQ(FileSize("-0"), 0u);
  EXPECT_EQ(FileSize("0e999999999999999"), 0u);
  EXPECT_EQ(FileSize("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(FileSize("\"18446744073709551615\""), UINT64_MAX);
  EXPECT_EQ(FileSize("1.8446744073709551615e19"), UINT64_MAX);
  // Beyond a double's precision: the text, not a rounded double, decides.
  EXPECT_EQ(FileSize("9007199254740993.0"), 9007199254740993u);

  for (const std::string& bad : std::vector<std::string>{"1.5",
                                                         "-1",
                                                         "-1e3",
                                                         "18446744073709551616",
                                                         "\"18446744073709551616\"",
                                                         "1.8446744073709551616e19",
                                                         "1e20",
                                                         "1e-1",
                                                         "1e999999999999999",
                                                         "\"1.5\"",
                                                         "\"-1\"",
                                                         "\" 12\"",
                                                         "\"12 \"",
                                                         "\"0x10\"",
                                                         "\"\"",
                                                         "\"12a\"",
                                                         "\"+5\"",
                                                         "\"01\"",
                                                         "\"1.\"",
                                                         "\".5\"",
                                                         "\"1e\"",
                                                         "\"Infinity\"",
                                                         "true"}) {
    EXPECT_FALSE(SizeParses(bad)) << bad;
  }
  EXPECT_TRUE(SizeParses("\"0\""));
}

TEST(ManifestValidate, AddressMustBeOneTo120Bytes) {
  EXPECT_EQ(Fault(R"({"address":""})"), "the realm's address is missing");
  EXPECT_EQ(Fault(R"({"address":")" + std::string(120, 'a') + R"("})"), "");
  EXPECT_EQ(Fault(R"({"address":")" + std::string(121, 'a') + R"("})"), "the realm's address is missing");
}

TEST(ManifestValidate, GameProgramMustBeAGamePathEndingInExe) {
  const std::string_view refused = "the game program the site names isn't one the launcher will start";
  for (const std::string& exe : std::vector<std::string>{"Game.EXE", "Game.Exe", "bin/Game.exe", " Game.exe", ".exe"}) {
    EXPECT_EQ(Fault(WithAddress(R"("start":{"exe":")" + exe + R"("})")), "") << exe;
  }
  for (const std::string& exe : std::vector<std::string>{"Game.exe ", "Game.exe.", "Game.com", "Game", "C:Game.exe",
                                                         "C:\\\\Game.exe", "/Game.exe", "../Game.exe", "bin//Game.exe",
                                                         "CON.exe", "bin/lpt1.exe", "", "G\\u00e4me.exe"}) {
    EXPECT_EQ(Fault(WithAddress(R"("start":{"exe":")" + exe + R"("})")), refused) << exe;
  }
}

TEST(ManifestValidate, ArgumentsHoldOnlyPrintableBytesThatPassSafely) {
  const std::string_view refused = "the game's arguments have characters the launcher won't pass";
  EXPECT_EQ(Fault(WithAddress(R"~("start":{"args":"-w -skiptobnet -title 'x' (1) ~!"})~")), "");
  for (const std::string& args : std::vector<std::string>{"-w\\t-x", "%PATH%", "a & b", "\\\"q\\\"", "<in", ">out",
                                                          "a^b", "a|b", "caf\\u00e9", "\\u007f", "\\n"}) {
    EXPECT_EQ(Fault(WithAddress(R"("start":{"args":")" + args + R"("})")), refused) << args;
  }
  // They would be cut mid-switch by the state's 600-byte text, so they are refused instead.
  EXPECT_EQ(Fault(WithAddress(R"("start":{"args":")" + std::string(600, 'a') + R"("})")), "");
  EXPECT_EQ(Fault(WithAddress(R"("start":{"args":")" + std::string(601, 'a') + R"("})")), refused);
}

TEST(ManifestValidate, HashesMustBeLowerCaseHashTexts) {
  std::string upper = kHash;
  upper[upper.find_first_of("abcdef")] = 'A';
  EXPECT_EQ(Fault(WithAddress(R"("launcher":{"sha256":")" + upper + R"(","size":1})")),
            "the launcher's hash isn't one");
  EXPECT_EQ(Fault(WithAddress(R"("launcher":{"sha256":")" + kHash.substr(1) + R"(","size":1})")),
            "the launcher's hash isn't one");
  EXPECT_EQ(Fault(WithAddress(R"("files":[{"path":"a","sha256":")" + upper + R"(","size":1}])")),
            "a file's hash isn't one");
  EXPECT_EQ(Fault(WithAddress(R"("files":[{"path":"a","sha256":")" + kHash + "0" + R"(","size":1}])")),
            "a file's hash isn't one");
}

TEST(ManifestValidate, FilePathsFollowTheGamePathRule) {
  const std::string_view refused = "a file's path isn't one the launcher will write";
  auto path_fault = [](const std::string& path) {
    return Fault(WithAddress(R"("files":[{"path":")" + path + R"(","sha256":")" + kHash + R"(","size":1}])"));
  };
  for (const std::string& path :
       std::vector<std::string>{" lead.txt", "data/global/x.mpq", std::string(200, 'p'), "a b/c d.txt"}) {
    EXPECT_EQ(path_fault(path), "") << path;
  }
  for (const std::string& path : std::vector<std::string>{"/abs",
                                                          "a//b",
                                                          "a/",
                                                          "./a",
                                                          "a/./b",
                                                          "a/../b",
                                                          "..",
                                                          "a./b",
                                                          "a /b",
                                                          "a\\\\b",
                                                          "c:x",
                                                          "d:/x",
                                                          std::string(201, 'p'),
                                                          "",
                                                          "NUL",
                                                          "data/COM1.txt",
                                                          "conin$",
                                                          "a*b",
                                                          "a?b",
                                                          "a\\\"b",
                                                          "a<b",
                                                          "a|b",
                                                          "tab\\there",
                                                          "caf\\u00e9"}) {
    EXPECT_EQ(path_fault(path), refused) << path;
  }
}

TEST(ManifestValidate, StopsAtTheFirstFaultInOrder) {
  const std::string upper = std::string(64, 'A');
  // Address before game program, game program before arguments, arguments before launcher hash.
  EXPECT_EQ(Fault(R"({"start":{"exe":"x"}})"), "the realm's address is missing");
  EXPECT_EQ(Fault(WithAddress(R"("start":{"exe":"x","args":"%"})")),
            "the game program the site names isn't one the launcher will start");
  EXPECT_EQ(Fault(WithAddress(R"("start":{"args":"%"},"launcher":{"sha256":"x","size":1})")),
            "the game's arguments have characters the launcher won't pass");
  EXPECT_EQ(Fault(WithAddress(R"("launcher":{"sha256":"x","size":1},"files":[{"path":"/","sha256":"x","size":1}])")),
            "the launcher's hash isn't one");
  // Entry by entry: the first entry's hash before the second entry's path.
  EXPECT_EQ(Fault(WithAddress(R"("files":[{"path":"a","sha256":")" + upper + R"(","size":1},{"path":"/b","sha256":")" +
                              kHash + R"(","size":1}])")),
            "a file's hash isn't one");
  EXPECT_EQ(Fault(WithAddress(R"("files":[{"path":"/a","sha256":")" + upper + R"(","size":1}])")),
            "a file's path isn't one the launcher will write");
}

TEST(ManifestAnswer, EachFailureGetsItsHeadlineAndDetail) {
  Manifest manifest;
  ManifestFailure failure;
  auto judge = [&](HttpError error, uint32_t status, const std::string& body) {
    FetchResult answer;
    answer.error = error;
    answer.status = status;
    answer.body = body;
    return AcceptManifestAnswer(answer, &manifest, &failure);
  };
  EXPECT_FALSE(judge(HttpError::kBadAddress, 0, ""));
  EXPECT_EQ(failure.headline, "Can't reach the realm right now");
  EXPECT_EQ(failure.detail, "the realm's address in this launcher isn't one");
  EXPECT_FALSE(judge(HttpError::kTooLarge, 0, ""));
  EXPECT_EQ(failure.detail, "the realm sent more than expected");
  EXPECT_FALSE(judge(HttpError::kOutOfMemory, 0, ""));
  EXPECT_EQ(failure.headline, "Can't reach the realm right now");
  EXPECT_EQ(failure.detail, "no answer; check your connection");

  EXPECT_FALSE(judge(HttpError::kNone, 404, WithAddress("")));
  EXPECT_EQ(failure.headline, "The realm didn't answer properly");
  EXPECT_EQ(failure.detail, "It said 404. You can still play with the files you have.");
  EXPECT_FALSE(judge(HttpError::kNone, 204, ""));
  EXPECT_EQ(failure.detail, "It said 204. You can still play with the files you have.");

  EXPECT_FALSE(judge(HttpError::kNone, 200, ""));
  EXPECT_EQ(failure.headline, "The realm's answer didn't make sense");
  EXPECT_EQ(failure.detail, "This launcher may be too old: download it again from the site.");

  EXPECT_FALSE(
      judge(HttpError::kNone, 200, WithAddress(R"("files":[{"path":"a/","sha256":")" + kHash + R"(","size":1}])")));
  EXPECT_EQ(failure.headline, "The realm's file list was refused");
  EXPECT_EQ(failure.detail, "a file's path isn't one the launcher will write");

  EXPECT_TRUE(judge(HttpError::kNone, 200, WithAddress(R"("realm":"R","files":[)" + kFile + "]")));
  EXPECT_EQ(failure.headline, "");
  EXPECT_EQ(manifest.realm, "R");
  EXPECT_EQ(manifest.files.size(), 1u);
}

std::atomic<int> g_posts{0};

TEST(ManifestPublish, StoresTheSummaryAndNotifiesOnce) {
  os::SetPostHook([](os::WindowHandle, uint32_t message) {
    if (message == kStateChangedMessage) ++g_posts;
  });
  LauncherState state;
  WorkerContext context;
  context.state = &state;
  g_posts = 0;

  Manifest m = Parsed(WithAddress(R"("start":{"exe":"bin/G.exe","args":"-w"},"news":"Hi","revision":"r7")"));
  PublishManifest(context, m);
  EXPECT_EQ(state.realm_name.View(), "Realm");
  EXPECT_EQ(state.news.View(), "Hi");
  EXPECT_EQ(state.game_program.View(), "bin/G.exe");
  EXPECT_EQ(state.game_arguments.View(), "-w");
  EXPECT_EQ(state.realm_game_address.View(), "play.example.net");
  EXPECT_EQ(context.file_set.View(), "r7");
  EXPECT_EQ(g_posts.load(), 1);

  // Long texts are cut to 600 bytes, never inside a character.
  m.realm = std::string(599, 'r') + "\xC3\xA9";
  m.news = std::string(600, 'n') + "more";
  PublishManifest(context, m);
  EXPECT_EQ(state.realm_name.View(), std::string(599, 'r'));
  EXPECT_EQ(state.news.View(), std::string(600, 'n'));
  EXPECT_EQ(g_posts.load(), 2);
  os::SetPostHook(nullptr);
}

}  // namespace
}  // namespace vantrel
