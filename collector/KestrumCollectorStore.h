// The collector's storage: groups of equal crashes with their counts, the reports with their
// attachments, and the schema migrations, written once over a small SQL connection interface that
// each engine (SQLite, PostgreSQL) implements.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace collector {

using SqlValue = std::variant<std::nullptr_t, std::int64_t, std::string>;
using SqlRow = std::vector<std::optional<std::string>>;

// Thrown for every database failure; full says the disk or the database ran out of space, unique
// that a unique key refused a row (another instance stored it first).
struct SqlError : std::runtime_error {
  SqlError(const std::string& what, bool fullDisk = false, bool uniqueKey = false)
      : std::runtime_error(what), full(fullDisk), unique(uniqueKey) {}
  bool full;
  bool unique;
};

class SqlConnection {
 public:
  virtual ~SqlConnection() = default;
  // Statements use "?" for parameters.
  virtual std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params = {}) = 0;
  // A transaction that writes: taken at once, so that two writers never deadlock on an upgrade.
  virtual void BeginWrite() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // "sqlite" or "postgresql": the migrations' column types and the row locks differ.
  virtual std::string Engine() const = 0;
};

// "postgresql://..." or "postgres://..." opens PostgreSQL; anything else is a SQLite file path.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path);
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url);  // throws SqlError where not built in

struct StoredFile {
  std::string kind;  // report, raw, screenshot, minidump, other
  std::string name;  // as the sender named it, shown only
  std::string hash;  // content hash: the file's name in the data folder
  std::int64_t size = 0;
};

struct Incoming {
  std::string reportId;
  std::int64_t received = 0;  // seconds since 1970, UTC
  std::int64_t weight = 1;    // occurrences: a folded report's "count"
  std::string groupKey, title, exceptionClass, message, program, version, os, checksum, client;
  std::string text;  // the report as UTF-8 for the pages
  std::vector<StoredFile> files;
};

struct GroupState {
  std::int64_t groupId = 0;
  std::string reportId;
  std::string answer;  // new, known or fixed: what the sender is told
  std::string fixedIn;
  bool duplicate = false;
};

struct GroupRow {
  std::int64_t id = 0;
  std::string key, title, exceptionClass, program, status, fixedIn, lastVersion;
  std::int64_t count = 0, firstSeen = 0, lastSeen = 0;
};

struct GroupQuery {
  std::string sort = "last";  // last or count
  std::string version, exceptionClass, status;
  std::int64_t limit = 200, offset = 0;
};

struct ReportRow {
  std::int64_t id = 0, groupId = 0, received = 0, weight = 1;
  std::string reportId, version, os, checksum, message, client;
  std::optional<std::string> text;  // none once pruned
  std::vector<StoredFile> files;
};

struct GroupDetail {
  GroupRow group;
  std::vector<std::pair<std::string, std::int64_t>> versions, systems, days;
  std::vector<ReportRow> reports;  // newest first, without their texts
};

struct PruneRules {
  std::int64_t perGroup = 100;  // raw reports kept per group
  std::int64_t maxAgeDays = 0;  // 0: no age limit
};

class Store {
 public:
  explicit Store(std::unique_ptr<SqlConnection> db);
  // Brings the schema up to date; the same migrations run on every engine.
  void Migrate();
  int SchemaVersion();

  GroupState Ingest(const Incoming& report);
  // The state an upload with this report id got, when it is stored already.
  std::optional<GroupState> Known(const std::string& reportId);
  std::vector<GroupRow> Groups(const GroupQuery& query);
  std::int64_t GroupCount();
  std::optional<GroupDetail> Group(std::int64_t id, std::int64_t reportLimit = 100);
  std::optional<ReportRow> Report(std::int64_t id);
  std::optional<ReportRow> ReportById(const std::string& reportId);
  // status new or fixed (fixedIn required); false when the group does not exist.
  bool SetStatus(std::int64_t id, const std::string& status, const std::string& fixedIn);
  // Removes report texts and attachment rows beyond the rules; the counts stay. Returns how many
  // reports were pruned.
  std::int64_t Prune(const PruneRules& rules, std::int64_t now);
  // The content hashes any stored report still refers to.
  std::vector<std::string> ReferencedHashes();
  std::vector<std::string> Versions();
  std::string Engine() const { return db_->Engine(); }

 private:
  GroupState IngestOnce(const Incoming& report);
  std::optional<GroupState> KnownLocked(const std::string& reportId);
  std::vector<StoredFile> FilesOf(std::int64_t reportRow);
  std::unique_ptr<SqlConnection> db_;
  std::mutex lock_;
};

}  // namespace collector
