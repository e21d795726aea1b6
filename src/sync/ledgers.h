#pragma once
// The two ledgers kept beside settings.txt: "files.txt" (full path -> size, write time and
// hash of the last hashed or written copy) and "written.txt" (full paths the launcher put in
// place). Reading never fails: a missing, unreadable or oversized file is an empty ledger.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace vantrel {

inline constexpr uint64_t kHashLedgerLimit = 8388608;     // 8 MiB
inline constexpr uint64_t kWrittenLedgerLimit = 1048576;  // 1 MiB

struct HashRecord {
  uint64_t size = 0;
  uint64_t write_time = 0;  // FILETIME units
  std::string hash;         // hash text
};
using HashLedger = std::unordered_map<std::string, HashRecord>;
using WrittenLedger = std::unordered_set<std::string>;

struct Ledgers {
  HashLedger hashes;
  WrittenLedger written;
};

// Corrupt lines are skipped one by one; a later line for the same path wins.
HashLedger ParseHashLedger(std::string_view text);
WrittenLedger ParseWrittenLedger(std::string_view text);
// hash TAB size TAB time TAB path LF per record; path CR LF per written path.
std::string FormatHashLedger(const HashLedger& ledger);
std::string FormatWrittenLedger(const WrittenLedger& ledger);

std::string HashLedgerPath(std::string_view settings_folder);
std::string WrittenLedgerPath(std::string_view settings_folder);

Ledgers ReadLedgers(std::string_view settings_folder);
// Silent: a file whose text can't be built (no memory) or written is left as it is.
void SaveLedgers(std::string_view settings_folder, const Ledgers& ledgers);

// A newer record replaces the older one of the same path.
void RecordHashed(HashLedger& ledger, std::string_view full_path, uint64_t size, uint64_t write_time,
                  std::string_view hash);
void RecordWritten(WrittenLedger& ledger, std::string_view full_path);

}  // namespace vantrel
