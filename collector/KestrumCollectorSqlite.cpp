// The SQLite engine: one file in the data folder, write-ahead log, and a commit that is on the
// disk when it returns (synchronous FULL), since an upload is acknowledged only after it.
#include <sqlite3.h>

#include "collector/KestrumCollectorStore.h"

namespace collector {
namespace {

class SqliteConnection : public SqlConnection {
 public:
  explicit SqliteConnection(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw SqlError("cannot open " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    Query("PRAGMA journal_mode = WAL", {});
    Query("PRAGMA synchronous = FULL", {});
    Query("PRAGMA foreign_keys = ON", {});
  }
  ~SqliteConnection() override { sqlite3_close(db_); }

  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) Fail(sqlite3_errcode(db_));
    struct Finalize {
      sqlite3_stmt* s;
      ~Finalize() { sqlite3_finalize(s); }
    } finalize{st};
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      if (const auto* n = std::get_if<std::int64_t>(&params[i])) {
        sqlite3_bind_int64(st, at, *n);
      } else if (const auto* s = std::get_if<std::string>(&params[i])) {
        sqlite3_bind_text(st, at, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(st, at);
      }
    }
    std::vector<SqlRow> rows;
    while (true) {
      const int rc = sqlite3_step(st);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail(rc);
      SqlRow row(static_cast<std::size_t>(sqlite3_column_count(st)));
      for (int c = 0; c < static_cast<int>(row.size()); ++c) {
        if (sqlite3_column_type(st, c) == SQLITE_NULL) continue;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
        row[static_cast<std::size_t>(c)] = std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(st, c)));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }
  void BeginWrite() override { Query("BEGIN IMMEDIATE", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() override { Query("ROLLBACK", {}); }
  std::string Engine() const override { return "sqlite"; }

 private:
  [[noreturn]] void Fail(int rc) {
    const int primary = rc & 0xFF;
    throw SqlError(std::string("SQLite: ") + sqlite3_errmsg(db_), primary == SQLITE_FULL || primary == SQLITE_IOERR,
                   rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY);
  }
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path) { return std::make_unique<SqliteConnection>(path); }

}  // namespace collector
