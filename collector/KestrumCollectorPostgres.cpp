// The PostgreSQL engine, for several collector instances on one database. Statements go through
// libpq's parameter arrays (libpqxx-dev brings libpq along), every value as text.
#include <libpq-fe.h>

#include <cstring>

#include "collector/KestrumCollectorStore.h"

namespace collector {
namespace {

class PostgresConnection : public SqlConnection {
 public:
  explicit PostgresConnection(const std::string& url) : db_(PQconnectdb(url.c_str())) {
    if (PQstatus(db_) != CONNECTION_OK) {
      const std::string why = PQerrorMessage(db_);
      PQfinish(db_);
      db_ = nullptr;
      throw SqlError("cannot connect to PostgreSQL: " + why);
    }
    Query("SET client_min_messages = warning", {});
  }
  ~PostgresConnection() override { PQfinish(db_); }

  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override {
    std::string text;
    int n = 0;
    for (char c : sql) {
      if (c == '?') {
        text += "$" + std::to_string(++n);
      } else {
        text += c;
      }
    }
    std::vector<std::string> values(params.size());
    std::vector<const char*> pointers(params.size(), nullptr);
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* v = std::get_if<std::int64_t>(&params[i])) {
        values[i] = std::to_string(*v);
        pointers[i] = values[i].c_str();
      } else if (const auto* s = std::get_if<std::string>(&params[i])) {
        pointers[i] = s->c_str();
      }
    }
    PGresult* r = PQexecParams(db_, text.c_str(), static_cast<int>(params.size()), nullptr, pointers.data(), nullptr, nullptr, 0);
    struct Clear {
      PGresult* r;
      ~Clear() { PQclear(r); }
    } clear{r};
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      const std::string code = state ? state : "";
      // 53xxx: out of disk, memory or connections; 23505: a unique key.
      throw SqlError("PostgreSQL: " + std::string(PQerrorMessage(db_)), code.starts_with("53"), code == "23505");
    }
    std::vector<SqlRow> rows;
    for (int row = 0; row < PQntuples(r); ++row) {
      SqlRow out(static_cast<std::size_t>(PQnfields(r)));
      for (int c = 0; c < PQnfields(r); ++c) {
        if (!PQgetisnull(r, row, c)) out[static_cast<std::size_t>(c)] = std::string(PQgetvalue(r, row, c), static_cast<std::size_t>(PQgetlength(r, row, c)));
      }
      rows.push_back(std::move(out));
    }
    return rows;
  }
  void BeginWrite() override { Query("BEGIN", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() override { Query("ROLLBACK", {}); }
  std::string Engine() const override { return "postgresql"; }

 private:
  PGconn* db_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url) { return std::make_unique<PostgresConnection>(url); }

}  // namespace collector
