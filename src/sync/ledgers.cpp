#include "sync/ledgers.h"

#include <new>

#include "support/os.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel {
namespace {

// Calls `line_fn` for every LF-separated line (the last one may lack its LF).
template <typename LineFn>
void ForEachLine(std::string_view text, LineFn line_fn) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    line_fn(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string_view StripTrailingCr(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Splits off the field before the next TAB; false when there is no TAB left.
bool TakeField(std::string_view* rest, std::string_view* field) {
  const size_t tab = rest->find('\t');
  if (tab == std::string_view::npos) return false;
  *field = rest->substr(0, tab);
  rest->remove_prefix(tab + 1);
  return true;
}

}  // namespace

HashLedger ParseHashLedger(std::string_view text) {
  HashLedger ledger;
  ForEachLine(text, [&](std::string_view raw) {
    std::string_view rest = StripTrailingCr(raw);
    std::string_view hash, size_text, time_text;
    if (!TakeField(&rest, &hash) || !TakeField(&rest, &size_text) || !TakeField(&rest, &time_text)) return;
    HashRecord record;
    if (!IsHashText(hash) || !ParseU64(size_text, &record.size) || !ParseU64(time_text, &record.write_time)) return;
    if (rest.empty()) return;
    record.hash.assign(hash);
    ledger.insert_or_assign(std::string(rest), std::move(record));
  });
  return ledger;
}

WrittenLedger ParseWrittenLedger(std::string_view text) {
  WrittenLedger ledger;
  ForEachLine(text, [&](std::string_view raw) {
    const std::string_view path = TrimChars(raw, " \r");
    if (!path.empty()) ledger.emplace(path);
  });
  return ledger;
}

std::string FormatHashLedger(const HashLedger& ledger) {
  std::string text;
  for (const auto& [path, record] : ledger) {
    text.append(record.hash).push_back('\t');
    text.append(Decimal(record.size)).push_back('\t');
    text.append(Decimal(record.write_time)).push_back('\t');
    text.append(path).push_back('\n');
  }
  return text;
}

std::string FormatWrittenLedger(const WrittenLedger& ledger) {
  std::string text;
  for (const std::string& path : ledger) text.append(path).append("\r\n");
  return text;
}

std::string HashLedgerPath(std::string_view settings_folder) { return std::string(settings_folder) + "\\files.txt"; }

std::string WrittenLedgerPath(std::string_view settings_folder) {
  return std::string(settings_folder) + "\\written.txt";
}

Ledgers ReadLedgers(std::string_view settings_folder) {
  Ledgers ledgers;
  std::string content;
  if (os::ReadWholeFile(HashLedgerPath(settings_folder), kHashLedgerLimit, &content) == os::kOk) {
    ledgers.hashes = ParseHashLedger(content);
  }
  if (os::ReadWholeFile(WrittenLedgerPath(settings_folder), kWrittenLedgerLimit, &content) == os::kOk) {
    ledgers.written = ParseWrittenLedger(content);
  }
  return ledgers;
}

void SaveLedgers(std::string_view settings_folder, const Ledgers& ledgers) {
  // Each text is built before its file is written, so running out of memory leaves the old
  // file; each is written beside and moved over, so a kill leaves the old or the new whole.
  try {
    const std::string text = FormatHashLedger(ledgers.hashes);
    os::ReplaceWholeFile(HashLedgerPath(settings_folder), text);
  } catch (const std::bad_alloc&) {
  }
  try {
    const std::string text = FormatWrittenLedger(ledgers.written);
    os::ReplaceWholeFile(WrittenLedgerPath(settings_folder), text);
  } catch (const std::bad_alloc&) {
  }
}

void RecordHashed(HashLedger& ledger, std::string_view full_path, uint64_t size, uint64_t write_time,
                  std::string_view hash) {
  HashRecord record;
  record.size = size;
  record.write_time = write_time;
  record.hash.assign(hash);
  ledger.insert_or_assign(std::string(full_path), std::move(record));
}

void RecordWritten(WrittenLedger& ledger, std::string_view full_path) { ledger.emplace(full_path); }

}  // namespace vantrel
