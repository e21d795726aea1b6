#include "realm-site/report_index.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <set>
#include <unordered_set>

#include "realm-site/crash_signature.h"
#include "support/text.h"

namespace vantrel::site {
namespace fs = std::filesystem;
namespace {

constexpr int kSchemaVersion = 1;
constexpr const char* kSchema =
    "CREATE TABLE reports(id TEXT PRIMARY KEY, received INTEGER NOT NULL, account TEXT NOT NULL,"
    " note TEXT NOT NULL, file_set TEXT NOT NULL, launcher TEXT NOT NULL, windows TEXT NOT NULL);"
    "CREATE TABLE records(report TEXT NOT NULL, entry TEXT NOT NULL, signature TEXT NOT NULL,"
    " group_id TEXT NOT NULL, crash_key TEXT NOT NULL);"
    "CREATE INDEX records_by_report ON records(report);"
    "CREATE TABLE alerts(group_id TEXT PRIMARY KEY, at INTEGER NOT NULL);"
    "PRAGMA user_version = 1;";

sqlite3* Db(void* db) { return static_cast<sqlite3*>(db); }

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return statement_ != nullptr; }
  Statement& Bind(int at, std::string_view text) {
    sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int at, int64_t value) {
    sqlite3_bind_int64(statement_, at, value);
    return *this;
  }
  bool Next() { return statement_ != nullptr && sqlite3_step(statement_) == SQLITE_ROW; }
  // Runs a statement that returns no rows, ready to be bound again.
  bool Run() {
    const int result = statement_ != nullptr ? sqlite3_step(statement_) : SQLITE_ERROR;
    sqlite3_reset(statement_);
    return result == SQLITE_DONE;
  }
  void Reset() { sqlite3_reset(statement_); }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

sqlite3* OpenDb(const std::string& path, int flags, std::string* error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  return db;
}

class Inserter {
 public:
  explicit Inserter(sqlite3* db)
      : report_(db, "INSERT OR REPLACE INTO reports VALUES(?,?,?,?,?,?,?)"),
        forget_(db, "DELETE FROM records WHERE report = ?"),
        record_(db, "INSERT INTO records VALUES(?,?,?,?,?)") {}
  bool ok() const { return report_.ok() && forget_.ok() && record_.ok(); }
  bool Insert(const ReportFacts& facts) {
    if (!report_.Bind(1, facts.id)
             .Bind(2, facts.received)
             .Bind(3, facts.account)
             .Bind(4, facts.note)
             .Bind(5, facts.file_set)
             .Bind(6, facts.launcher)
             .Bind(7, facts.windows)
             .Run() ||
        !forget_.Bind(1, facts.id).Run()) {
      return false;
    }
    for (const CrashRecord& record : facts.records) {
      if (!record_.Bind(1, facts.id)
               .Bind(2, record.entry)
               .Bind(3, record.signature)
               .Bind(4, record.group)
               .Bind(5, record.key)
               .Run()) {
        return false;
      }
    }
    return true;
  }

 private:
  Statement report_;
  Statement forget_;
  Statement record_;
};

// The report folders present, by id, in name order.
std::vector<std::string> StoredIds(const std::string& folder) {
  std::vector<std::string> ids;
  std::error_code problem;
  for (const auto& item : fs::directory_iterator(folder, problem)) {
    const std::string name = item.path().filename().string();
    std::error_code kind_problem;
    if (IsReportId(name) && item.is_directory(kind_problem)) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// A usable index answers its own integrity check and has this program's tables.
bool CheckIndex(const std::string& path, std::string* reason) {
  sqlite3* db = OpenDb(path, SQLITE_OPEN_READWRITE, reason);
  if (db == nullptr) return false;
  bool ok = false;
  {
    Statement check(db, "PRAGMA quick_check");
    Statement version(db, "PRAGMA user_version");
    Statement tables(db,
                     "SELECT (SELECT count(*) FROM reports) + (SELECT count(*) FROM records) + "
                     "(SELECT count(*) FROM alerts)");
    if (!check.ok() || !check.Next()) {
      *reason = sqlite3_errmsg(db);
    } else if (check.Text(0) != "ok") {
      *reason = check.Text(0);
    } else if (!version.Next() || version.Int(0) != kSchemaVersion) {
      *reason = "written by another version";
    } else if (!tables.ok() || !tables.Next()) {
      *reason = sqlite3_errmsg(db);
    } else {
      ok = true;
    }
  }
  sqlite3_close(db);
  return ok;
}

void RemoveDb(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
}

}  // namespace

bool RebuildIndex(const std::string& reports_folder, std::ostream* progress, IndexCounts* counts, std::string* error) {
  *counts = IndexCounts();
  std::error_code problem;
  fs::create_directories(reports_folder, problem);
  const std::string path = reports_folder + "/" + kIndexName;
  // Named by process: two servers started at once on one realm each build their own, and the
  // later rename wins with an index as whole as the first.
  const std::string beside = path + ".new-" + std::to_string(getpid());
  RemoveDb(beside);
  sqlite3* db = OpenDb(beside, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
  if (db == nullptr) {
    *error = beside + " can't be made: " + *error;
    return false;
  }
  bool ok = Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;", error) && Exec(db, kSchema, error) &&
            Exec(db, "BEGIN", error);
  const std::vector<std::string> ids = StoredIds(reports_folder);
  std::set<std::string> groups;
  {
    Inserter inserter(db);
    ok = ok && inserter.ok();
    for (size_t i = 0; ok && i < ids.size(); ++i) {
      ReportFacts facts;
      if (ReadReportFacts(reports_folder + "/" + ids[i], ids[i], &facts)) {
        ok = inserter.Insert(facts);
        ++counts->reports;
        for (const CrashRecord& record : facts.records) groups.insert(record.group);
        if (facts.records.empty()) groups.insert(GroupId(kNoCrashReport));
      }
      if (ok && (i + 1) % 1000 == 0) ok = Exec(db, "COMMIT; BEGIN", error);
      if (progress != nullptr && ((i + 1) % 250 == 0 || i + 1 == ids.size())) {
        *progress << "\rrealm-site: indexed " << (i + 1) << " of " << ids.size() << " reports" << std::flush;
      }
    }
    if (!ok && error->empty()) *error = sqlite3_errmsg(db);
  }
  if (progress != nullptr && !ids.empty()) *progress << "\n";
  ok = ok && Exec(db, "COMMIT; PRAGMA synchronous=FULL; PRAGMA wal_checkpoint(TRUNCATE);", error);
  sqlite3_close(db);
  counts->groups = groups.size();
  // Only a whole index takes the name; an old write-ahead log must not be replayed onto it.
  if (ok) {
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    ok = rename(beside.c_str(), path.c_str()) == 0;
    if (!ok) *error = "can't move " + beside + " to " + path;
  } else {
    *error = path + " can't be built: " + *error;
  }
  RemoveDb(beside);
  return ok;
}

ReportIndex::ReportIndex(std::string reports_folder, std::string revision)
    : folder_(std::move(reports_folder)), path_(folder_ + "/" + kIndexName), model_(std::move(revision)) {}

ReportIndex::~ReportIndex() { sqlite3_close(Db(db_)); }

bool ReportIndex::Open(std::ostream& err, std::string* error) {
  std::error_code problem;
  std::string reason;
  const bool exists = fs::exists(path_, problem);
  if (!exists || !CheckIndex(path_, &reason)) {
    err << "realm-site: the report index " << path_
        << (exists ? " is damaged (" + reason + ")" : std::string(" is missing"))
        << "; building it from the stored reports" << std::endl;
    IndexCounts counts;
    if (!RebuildIndex(folder_, nullptr, &counts, error)) return false;
    err << "realm-site: indexed " << counts.reports << " reports in " << counts.groups << " groups" << std::endl;
  }
  sqlite3* db = OpenDb(path_, SQLITE_OPEN_READWRITE, error);
  if (db == nullptr) {
    *error = path_ + " can't be opened: " + *error;
    return false;
  }
  db_ = db;
  if (!Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) || !Sync(err, error) || !Load(error)) {
    *error = path_ + ": " + *error;
    return false;
  }
  return true;
}

// Reports kept while the server was down or cut off before they were indexed, and reports
// pruned since: the folders are the truth.
bool ReportIndex::Sync(std::ostream& err, std::string* error) {
  std::unordered_set<std::string> indexed;
  {
    Statement ids(Db(db_), "SELECT id FROM reports");
    while (ids.Next()) indexed.insert(ids.Text(0));
  }
  uint64_t added = 0;
  uint64_t dropped = 0;
  if (!Exec(Db(db_), "BEGIN", error)) return false;
  {
    Inserter inserter(Db(db_));
    for (const std::string& id : StoredIds(folder_)) {
      if (indexed.erase(id) != 0) continue;
      ReportFacts facts;
      if (!ReadReportFacts(folder_ + "/" + id, id, &facts)) continue;
      if (!inserter.Insert(facts)) break;
      ++added;
    }
    Statement forget_report(Db(db_), "DELETE FROM reports WHERE id = ?");
    Statement forget_records(Db(db_), "DELETE FROM records WHERE report = ?");
    for (const std::string& id : indexed) {
      forget_report.Bind(1, id).Run();
      forget_records.Bind(1, id).Run();
      ++dropped;
    }
  }
  if (!Exec(Db(db_), "COMMIT", error)) return false;
  if (added + dropped > 0) {
    err << "realm-site: the report index had missed " << added << " reports and listed " << dropped
        << " that are gone; it is in step again" << std::endl;
  }
  return true;
}

bool ReportIndex::Load(std::string* error) {
  Statement rows(Db(db_),
                 "SELECT reports.id, received, account, note, file_set, launcher, windows, entry, signature, "
                 "group_id, crash_key FROM reports LEFT JOIN records ON records.report = reports.id "
                 "ORDER BY received, reports.id");
  if (!rows.ok()) {
    *error = sqlite3_errmsg(Db(db_));
    return false;
  }
  std::unique_lock<std::shared_mutex> guard(model_mutex_);
  ReportFacts facts;
  while (rows.Next()) {
    std::string id = rows.Text(0);
    if (id != facts.id) {
      if (!facts.id.empty()) model_.Add(facts);
      facts = ReportFacts();
      facts.id = std::move(id);
      facts.received = rows.Int(1);
      facts.account = rows.Text(2);
      facts.note = rows.Text(3);
      facts.file_set = rows.Text(4);
      facts.launcher = rows.Text(5);
      facts.windows = rows.Text(6);
    }
    if (!rows.IsNull(7)) facts.records.push_back(CrashRecord{rows.Text(7), rows.Text(8), rows.Text(9), rows.Text(10)});
  }
  if (!facts.id.empty()) model_.Add(facts);
  Statement alerts(Db(db_), "SELECT group_id, at FROM alerts");
  while (alerts.Next()) model_.MarkAlerted(alerts.Text(0), alerts.Int(1));
  return true;
}

std::vector<Alert> ReportIndex::Add(const std::string& id, int64_t now) {
  ReportFacts facts;
  if (!ReadReportFacts(folder_ + "/" + id, id, &facts)) return {};
  {
    std::lock_guard<std::mutex> guard(db_mutex_);
    std::string error;
    Inserter inserter(Db(db_));
    // The report is kept whatever happens here; the next start indexes what was missed.
    if (!Exec(Db(db_), "BEGIN", &error) || !inserter.Insert(facts) || !Exec(Db(db_), "COMMIT", &error)) {
      std::cerr << "realm-site: report " << id
                << " isn't in the index yet: " << (error.empty() ? sqlite3_errmsg(Db(db_)) : error) << std::endl;
      Exec(Db(db_), "ROLLBACK", &error);
    }
  }
  std::unique_lock<std::shared_mutex> guard(model_mutex_);
  std::vector<std::string> new_groups;
  for (const CrashRecord& record : facts.records) {
    if (!model_.Knows(record.group)) new_groups.push_back(record.group);
  }
  model_.Add(facts);
  return model_.AlertsFor(facts, new_groups, now);
}

void ReportIndex::MarkAlerted(const std::string& group, int64_t at) {
  {
    std::unique_lock<std::shared_mutex> guard(model_mutex_);
    model_.MarkAlerted(group, at);
  }
  std::lock_guard<std::mutex> guard(db_mutex_);
  Statement(Db(db_), "INSERT OR REPLACE INTO alerts VALUES(?,?)").Bind(1, group).Bind(2, at).Run();
}

GroupsView ReportIndex::Groups(const ConsoleFilter& filter, int64_t now) const {
  std::shared_lock<std::shared_mutex> guard(model_mutex_);
  return model_.Groups(filter, now);
}

bool ReportIndex::Group(const std::string& id, const ConsoleFilter& filter, int64_t now, GroupView* view) const {
  std::shared_lock<std::shared_mutex> guard(model_mutex_);
  return model_.Group(id, filter, now, view);
}

bool ReportIndex::RecordsOf(const std::string& id, std::vector<CrashRecord>* records) const {
  records->clear();
  std::lock_guard<std::mutex> guard(db_mutex_);
  Statement known(Db(db_), "SELECT 1 FROM reports WHERE id = ?");
  if (!known.Bind(1, id).Next()) return false;
  Statement rows(Db(db_), "SELECT entry, signature, group_id, crash_key FROM records WHERE report = ? ORDER BY rowid");
  rows.Bind(1, id);
  while (rows.Next()) records->push_back(CrashRecord{rows.Text(0), rows.Text(1), rows.Text(2), rows.Text(3)});
  return true;
}

size_t ReportIndex::report_count() const {
  std::shared_lock<std::shared_mutex> guard(model_mutex_);
  return model_.report_count();
}

}  // namespace vantrel::site
