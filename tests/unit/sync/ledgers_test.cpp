#include "sync/ledgers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "unit/sync/temp_folder.h"

namespace vantrel {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

const std::string kHashA(64, 'a');
const std::string kHashB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(HashLedger, ReadsFieldsAndKeepsTabsInsidePaths) {
  const HashLedger ledger =
      ParseHashLedger(kHashA + "\t12\t99\tC:\\Games\\a.dll\n" + kHashB + "\t0\t1\tC:\\odd\tname.txt\r\r\n");
  ASSERT_EQ(ledger.size(), 2u);
  const HashRecord& a = ledger.at("C:\\Games\\a.dll");
  EXPECT_EQ(a.size, 12u);
  EXPECT_EQ(a.write_time, 99u);
  EXPECT_EQ(a.hash, kHashA);
  // Every CR at the end goes; the TAB stays part of the path.
  EXPECT_EQ(ledger.at("C:\\odd\tname.txt").hash, kHashB);
}

TEST(HashLedger, SkipsCorruptLinesAndKeepsTheRest) {
  const std::string text = "abc\t1\t2\tshort-hash\n" +                    // hash of 3 characters
                           kHashA + "\t1x\t2\tletter-in-size\n" +         // size not a number
                           kHashA + "\t1\t18446744073709551616\tbig\n" +  // time past 64 bits
                           std::string(63, 'a') + "A\t1\t2\tupper\n" +    // upper-case digit
                           kHashA + "\t1\t2\n" +                          // two TABs only
                           kHashA + "\t1\t2\t\n" +                        // empty path
                           kHashA + "\t\t2\tempty-size\n" +               // empty size
                           kHashB + "\t5\t6\tgood";                       // no final LF
  const HashLedger ledger = ParseHashLedger(text);
  ASSERT_EQ(ledger.size(), 1u);
  EXPECT_EQ(ledger.at("good").size, 5u);
}

TEST(HashLedger, LaterLineForTheSamePathWins) {
  const HashLedger ledger = ParseHashLedger(kHashA + "\t1\t1\tp\n" + kHashB + "\t2\t2\tp\n");
  ASSERT_EQ(ledger.size(), 1u);
  EXPECT_EQ(ledger.at("p").hash, kHashB);
  EXPECT_EQ(ledger.at("p").size, 2u);
}

TEST(HashLedger, FormatReadsBackTheSameRecords) {
  HashLedger ledger;
  RecordHashed(ledger, "C:\\g\\x y.mpq", 18446744073709551615ull, 133000000000000000ull, kHashA);
  RecordHashed(ledger, "C:\\g\\t\tab", 0, 0, kHashB);
  RecordHashed(ledger, "C:\\g\\t\tab", 7, 8, kHashA);  // replaces the earlier record
  const std::string text = FormatHashLedger(ledger);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const HashLedger back = ParseHashLedger(text);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.at("C:\\g\\x y.mpq").size, 18446744073709551615ull);
  EXPECT_EQ(back.at("C:\\g\\x y.mpq").write_time, 133000000000000000ull);
  EXPECT_EQ(back.at("C:\\g\\t\tab").size, 7u);
}

TEST(WrittenLedger, TrimsSpacesAndCrAndAcceptsEitherLineEnd) {
  const WrittenLedger ledger = ParseWrittenLedger("  C:\\g\\a.dll \r\nC:\\g\\b.dll\n\r\n   \nC:\\g\\a.dll\r\nlast");
  EXPECT_EQ(ledger.size(), 3u);
  EXPECT_TRUE(ledger.count("C:\\g\\a.dll"));
  EXPECT_TRUE(ledger.count("C:\\g\\b.dll"));
  EXPECT_TRUE(ledger.count("last"));
  // Byte-for-byte: a different letter case is another path.
  EXPECT_FALSE(ledger.count("c:\\g\\a.dll"));
}

TEST(WrittenLedger, FormatEndsEveryLineWithCrLf) {
  WrittenLedger ledger;
  RecordWritten(ledger, "C:\\g\\a.dll");
  RecordWritten(ledger, "C:\\g\\a.dll");
  EXPECT_EQ(FormatWrittenLedger(ledger), "C:\\g\\a.dll\r\n");
}

// Records of the given size whose text is exactly `total` bytes long.
std::string HashLedgerTextOfSize(size_t total) {
  const std::string line = kHashA + "\t1\t2\tC:\\g\\file-000000000000.bin\n";
  std::string text;
  size_t index = 0;
  while (text.size() + line.size() <= total) {
    std::string numbered = line;
    const std::string digits = std::to_string(index++);
    numbered.replace(numbered.find(".bin") - digits.size(), digits.size(), digits);
    text += numbered;
  }
  // Pad the last line's path so the text ends exactly at `total`.
  const size_t missing = total - text.size();
  if (missing > 0) {
    text.pop_back();
    text.append(missing, 'z').push_back('\n');
  }
  return text;
}

TEST(LedgerFiles, HashLedgerIsReadUpToEightMebibytesAndIgnoredBeyond) {
  TempFolder folder;
  const std::string exact = HashLedgerTextOfSize(kHashLedgerLimit);
  ASSERT_EQ(exact.size(), kHashLedgerLimit);
  WriteFile(folder / "files.txt", exact);
  const size_t records = ParseHashLedger(exact).size();
  ASSERT_GT(records, 1000u);
  EXPECT_EQ(ReadLedgers(folder.path()).hashes.size(), records);

  WriteFile(folder / "files.txt", exact + "x");
  EXPECT_TRUE(ReadLedgers(folder.path()).hashes.empty());
}

TEST(LedgerFiles, WrittenLedgerIsReadUpToOneMebibyteAndIgnoredBeyond) {
  TempFolder folder;
  std::string text;
  while (text.size() + 20 <= kWrittenLedgerLimit) text += "C:\\g\\" + std::to_string(text.size()) + "\r\n";
  text.append(kWrittenLedgerLimit - text.size() - 2, 'q').append("\r\n");
  ASSERT_EQ(text.size(), kWrittenLedgerLimit);
  WriteFile(folder / "written.txt", text);
  EXPECT_EQ(ReadLedgers(folder.path()).written.size(), ParseWrittenLedger(text).size());
  EXPECT_FALSE(ReadLedgers(folder.path()).written.empty());

  WriteFile(folder / "written.txt", text + "x");
  EXPECT_TRUE(ReadLedgers(folder.path()).written.empty());
}

TEST(LedgerFiles, SaveWritesBothAndMissingFilesReadAsEmpty) {
  TempFolder folder;
  Ledgers none = ReadLedgers(folder.path());
  EXPECT_TRUE(none.hashes.empty());
  EXPECT_TRUE(none.written.empty());

  Ledgers ledgers;
  RecordHashed(ledgers.hashes, "C:\\g\\a", 3, 4, kHashB);
  RecordWritten(ledgers.written, "C:\\g\\a");
  SaveLedgers(folder.path(), ledgers);
  EXPECT_EQ(ReadFile(folder / "files.txt"), kHashB + "\t3\t4\tC:\\g\\a\n");
  EXPECT_EQ(ReadFile(folder / "written.txt"), "C:\\g\\a\r\n");

  const Ledgers back = ReadLedgers(folder.path());
  EXPECT_EQ(back.hashes.at("C:\\g\\a").write_time, 4u);
  EXPECT_TRUE(back.written.count("C:\\g\\a"));
}

TEST(LedgerFiles, ASaveThatCantBeWrittenWholeLeavesTheSavedLedgers) {
  TempFolder folder;
  const std::string saved = kHashB + "\t3\t4\tC:\\g\\a\n";
  WriteFile(folder / "files.txt", saved);
  WriteFile(folder / "written.txt", "C:\\g\\a\r\n");
  // Written beside first: where that can't be done, the saved files are never touched.
  std::filesystem::create_directory(folder / "files.txt.tmp");
  std::filesystem::create_directory(folder / "written.txt.tmp");
  Ledgers ledgers;
  RecordHashed(ledgers.hashes, "C:\\g\\b", 5, 6, kHashA);
  RecordWritten(ledgers.written, "C:\\g\\b");
  SaveLedgers(folder.path(), ledgers);
  EXPECT_EQ(ReadFile(folder / "files.txt"), saved);
  EXPECT_EQ(ReadFile(folder / "written.txt"), "C:\\g\\a\r\n");
}

TEST(LedgerFiles, SavingIntoAMissingFolderIsSilent) {
  TempFolder folder;
  Ledgers ledgers;
  RecordWritten(ledgers.written, "x");
  SaveLedgers(folder / "missing", ledgers);
  EXPECT_TRUE(ReadLedgers(folder / "missing").written.empty());
}

}  // namespace
}  // namespace vantrel
