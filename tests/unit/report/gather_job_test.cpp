#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/jobs.h"
#include "report/gather.h"
#include "unit/report/report_fixture.h"

namespace vantrel {
namespace {

using Names = std::vector<std::string>;

class Gathering : public testing_support::ReportTree {};

TEST_F(Gathering, OneFileOfEachKindInReportOrder) {
  Put(game_ + "/D2120304.txt", "daily");
  Put(game_ + "/BnetLog.txt", "bnet");
  Put(game_ + "/net.log", "net");
  Put(game_ + "/readme.txt", "not a log");
  Put(game_ + "/plugin/loader.log", "plugin");
  const std::string wer = WerFolder(local_, "ReportArchive", "AppCrash_Game.exe_1f2e");
  Put(wer + "/Report.wer", std::string("\xFF\xFEO\0K\0", 6));
  Put(wer + "/other.txt", "ignored");
  Put(local_ + "/CrashDumps/Game.exe.812.dmp", "MDMP dump");
  std::filesystem::create_directories(game_ + "/sub.log");  // a folder is never taken

  RunGathering(context_);
  EXPECT_EQ(EntryNames(),
            (Names{"game/D2120304.txt", "game/BnetLog.txt", "game/net.log", "game/plugin/loader.log",
                   "crash/AppCrash_Game.exe_1f2e/Report.wer.txt", "crash/Game.exe.812.dmp", "launcher.txt"}));
  EXPECT_EQ(Find("crash/AppCrash_Game.exe_1f2e/Report.wer.txt")->content, "OK");
  EXPECT_EQ(Find("crash/Game.exe.812.dmp")->is_crash_dump, 1);
  EXPECT_EQ(state_.crash_dump_count, 1u);
  EXPECT_EQ(state_.report_dump_size, 9u);
  EXPECT_EQ(state_.report_text_size, 5u + 4 + 3 + 6 + 2 + Find("launcher.txt")->content.size());
  EXPECT_EQ(state_.page, Page::kSendLogs);
  EXPECT_NE(Find("launcher.txt")->content.find("Other files in this upload: 6\n"), std::string::npos);

  const Names traces = Traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0], "[vantrel] status: Gathering logs | ");
  EXPECT_EQ(traces[1], "[vantrel] finish: Ready to send |  | ready=1");
}

TEST_F(Gathering, NothingFoundGivesTheSummaryAlone) {
  state_.ready = false;
  state_.include_crash_dumps = false;
  state_.game_folder.Clear();
  unsetenv("LOCALAPPDATA");
  RunGathering(context_);
  ASSERT_EQ(EntryNames(), (Names{"launcher.txt"}));
  EXPECT_EQ(state_.crash_dump_count, 0u);
  EXPECT_EQ(state_.report_text_size, state_.report_entries[0].content.size());
  EXPECT_TRUE(state_.include_crash_dumps);
  EXPECT_NE(state_.report_entries[0].content.find("Game folder: \n"), std::string::npos);
  EXPECT_EQ(Traces().back(), "[vantrel] finish: Ready to send |  | ready=0");
}

TEST_F(Gathering, GameGroupsKeepTheNewestAndReadTails) {
  Put(game_ + "/D2123456.txt", "a", 10);
  Put(game_ + "/d2654321.TXT", "b", 5);
  Put(game_ + "/D2ABCDEF.txt", "no");
  Put(game_ + "/D21234567.txt", "no");
  Put(game_ + "/D2000001.txt", "c", 20);
  Put(game_ + "/D2000002.txt", "too old", 30);
  std::string big(5 * 1048576, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  Put(game_ + "/d2loader.log", big);
  for (int i = 0; i < 45; ++i) Put(game_ + "/n" + std::to_string(i) + ".log", "log", 100 + i);

  RunGathering(context_);
  const Names names = EntryNames();
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ((Names{names[0], names[1], names[2], names[3]}),
            (Names{"game/d2654321.TXT", "game/D2123456.txt", "game/D2000001.txt", "game/d2loader.log"}));
  EXPECT_EQ(Find("game/d2loader.log")->content, big.substr(big.size() - 2097152));
  // 40 of the 45 logs, newest first; d2loader.log only once.
  ASSERT_EQ(names.size(), 4u + 40 + 1);
  EXPECT_EQ(names[4], "game/n0.log");
  EXPECT_EQ(names[43], "game/n39.log");
  EXPECT_EQ(Find("game/n40.log"), nullptr);
}

TEST_F(Gathering, WerFoldersAndDumpPool) {
  // Four report folders over the roots; only the three newest are used.
  const std::string a = WerFolder(local_, "ReportArchive", "AppCrash_Game.exe_aaa");
  const std::string b = WerFolder(local_, "ReportQueue", "appcrash_game.exe_bbb");
  const std::string c = WerFolder(machine_, "ReportArchive", "AppHang_Diablo II.exe_ccc");
  const std::string d = WerFolder(machine_, "ReportQueue", "AppCrash_Game.exe_ddd");
  const std::string not_report = WerFolder(local_, "ReportQueue", "AppCrash_Game.exe_");
  Put(a + "/Report.wer", std::string("\xFF\xFE"
                                     "a\0",
                                     4));
  Put(b + "/report.WER", std::string("b\0", 2));
  Put(b + "/memory.hdmp", "");
  PutSized(b + "/huge.hdmp", 20 * 1048576);
  Put(c + "/Report.wer", std::string("c\0", 2));
  Put(d + "/Report.wer", std::string("d\0", 2));
  Put(not_report + "/Report.wer", std::string("x\0", 2));
  Put(b + "/minidump.mdmp", "wer dump", 3);
  Put(local_ + "/CrashDumps/Game.exe.1.dmp", "dump 1", 2);
  Put(local_ + "/CrashDumps/Diablo II.exe.2.dmp", "dump 2", 1);
  Put(local_ + "/CrashDumps/Game.exe.3.dmp", "dump 3", 9);
  PutSized(local_ + "/CrashDumps/Game.exe.4.dmp", 16777217, 0);
  Age(a, 30);
  Age(b, 10);
  Age(c, 20);
  Age(d, 40);
  Age(not_report, 0);

  RunGathering(context_);
  EXPECT_EQ(EntryNames(),
            (Names{"crash/appcrash_game.exe_bbb/report.WER.txt", "crash/AppHang_Diablo II.exe_ccc/Report.wer.txt",
                   "crash/AppCrash_Game.exe_aaa/Report.wer.txt", "crash/Diablo II.exe.2.dmp", "crash/Game.exe.1.dmp",
                   "launcher.txt"}));
  EXPECT_EQ(state_.crash_dump_count, 2u);
  EXPECT_EQ(state_.report_dump_size, 12u);
}

TEST_F(Gathering, LongWerReportKeepsWholeCharacters) {
  // 300,000 units and a mark: the last 524,288 bytes would start inside a unit.
  std::string wer("\xFF\xFE", 2);
  std::string expected;
  for (int i = 0; i < 300000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    wer.append({c, '\0'});
    if (i >= 300000 - 262143) expected.push_back(c);
  }
  wer.push_back('z');  // an odd byte at the end
  expected += "\xEF\xBF\xBD";
  Put(WerFolder(local_, "ReportQueue", "AppCrash_Game.exe_9") + "/Report.wer", wer);
  RunGathering(context_);
  ASSERT_NE(Find("crash/AppCrash_Game.exe_9/Report.wer.txt"), nullptr);
  EXPECT_EQ(Find("crash/AppCrash_Game.exe_9/Report.wer.txt")->content, expected);
}

TEST_F(Gathering, NamesAreAnonymizedAndUnique) {
  Put(game_ + "/mira.log", "x", 1);
  Put(game_ + "/Net.log", "y", 2);
  Put(game_ + "/net.log", "z", 3);
  Put(game_ + "/a:b.log", "w", 4);
  RunGathering(context_);
  EXPECT_EQ(EntryNames(), (Names{"game/[user].log", "game/Net.log", "game/net.log~2", "game/a_b.log", "launcher.txt"}));
}

TEST_F(Gathering, ReportLimitDropsWhatDoesNotFitButTriesSmallerFiles) {
  const std::string two_mib(2097152, 'd');
  const std::string one_mib(1048576, 'l');
  for (int i = 0; i < 3; ++i) Put(game_ + "/D200000" + std::to_string(i) + ".txt", two_mib, i);
  Put(game_ + "/D2000000.txt", two_mib.substr(10));
  Put(game_ + "/d2loader.log", two_mib);
  Put(game_ + "/BnetLog.txt", two_mib);
  // 10 MiB - 10 so far; twelve 1 MiB logs reach 22 MiB - 10, the thirteenth doesn't fit, a small one does.
  for (int i = 0; i < 13; ++i) Put(game_ + "/big" + std::to_string(i) + ".log", one_mib, 10 + i);
  Put(game_ + "/small.log", "tiny", 100);

  RunGathering(context_);
  EXPECT_EQ(Find("game/big11.log")->content.size(), 1048576u);
  EXPECT_EQ(Find("game/big12.log"), nullptr);
  ASSERT_NE(Find("game/small.log"), nullptr);
  const uint64_t summary = Find("launcher.txt")->content.size();
  EXPECT_EQ(state_.report_text_size, 22u * 1048576 - 10 + 4 + summary);
}

TEST_F(Gathering, NewReportReplacesThePreviousOne) {
  Put(game_ + "/first.log", "first");
  RunGathering(context_);
  const ReportEntry* first_entries = state_.report_entries;
  ASSERT_EQ(context_.report_arena->entries.data(), first_entries);
  state_.include_crash_dumps = false;
  std::filesystem::remove(game_ + "/first.log");
  Put(game_ + "/second.log", "second");
  RunGathering(context_);
  EXPECT_EQ(EntryNames(), (Names{"game/second.log", "launcher.txt"}));
  EXPECT_EQ(context_.report_arena->entries.data(), state_.report_entries);
  EXPECT_TRUE(state_.include_crash_dumps);
}

TEST(ReadTail, ReadsTheLastBytesOnly) {
  char pattern[] = "/tmp/vantrel-tail-XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  std::string got;
  EXPECT_EQ(ReadTail(pattern, data.size(), 150000, &got), 0u);
  EXPECT_EQ(got, data.substr(50000));
  // A file that grew since it was listed still gives at most the cap.
  EXPECT_EQ(ReadTail(pattern, 100000, 100000, &got), 0u);
  EXPECT_EQ(got, data.substr(0, 100000));
  EXPECT_EQ(ReadTail(pattern, data.size(), data.size(), &got), 0u);
  EXPECT_EQ(got, data);
  unlink(pattern);
  EXPECT_EQ(ReadTail(pattern, 10, 10, &got), 2u);
  EXPECT_TRUE(got.empty());
}

}  // namespace
}  // namespace vantrel
