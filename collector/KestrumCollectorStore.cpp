#include "collector/KestrumCollectorStore.h"

#include <ctime>

#include "collector/KestrumCollectorReport.h"

namespace collector {
namespace {

// Each migration once, in order; {ID} is the engine's self-counting key column.
const char* const kMigrations[] = {
    // 1: groups, reports and their attachments, and the counts per version, system and day.
    "CREATE TABLE crash_groups ("
    " id {ID}, key TEXT NOT NULL UNIQUE, title TEXT NOT NULL, exception_class TEXT NOT NULL, program TEXT NOT NULL,"
    " count BIGINT NOT NULL, first_seen BIGINT NOT NULL, last_seen BIGINT NOT NULL,"
    " status TEXT NOT NULL, fixed_in TEXT NOT NULL, last_version TEXT NOT NULL);"
    "CREATE TABLE reports ("
    " id {ID}, report_id TEXT NOT NULL UNIQUE, group_id BIGINT NOT NULL REFERENCES crash_groups(id), received BIGINT NOT NULL,"
    " weight BIGINT NOT NULL, version TEXT NOT NULL, os TEXT NOT NULL, checksum TEXT NOT NULL, message TEXT NOT NULL,"
    " client TEXT NOT NULL, text TEXT, pruned INTEGER NOT NULL);"
    "CREATE INDEX reports_group ON reports(group_id, id);"
    "CREATE TABLE attachments ("
    " report BIGINT NOT NULL REFERENCES reports(id), kind TEXT NOT NULL, name TEXT NOT NULL, hash TEXT NOT NULL, size BIGINT NOT NULL);"
    "CREATE INDEX attachments_report ON attachments(report);"
    "CREATE INDEX attachments_hash ON attachments(hash);"
    "CREATE TABLE group_versions (group_id BIGINT NOT NULL, version TEXT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY (group_id, version));"
    "CREATE TABLE group_systems (group_id BIGINT NOT NULL, os TEXT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY (group_id, os));"
    "CREATE TABLE group_days (group_id BIGINT NOT NULL, day TEXT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY (group_id, day));",
    // 2: the lists sort and filter by these.
    "CREATE INDEX groups_last_seen ON crash_groups(last_seen);"
    "CREATE INDEX groups_count ON crash_groups(count);"
    "CREATE INDEX reports_received ON reports(received) ;",
};

std::vector<std::string> Statements(const std::string& script) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < script.size()) {
    std::size_t end = script.find(';', at);
    if (end == std::string::npos) end = script.size();
    const std::string s = script.substr(at, end - at);
    if (s.find_first_not_of(" \n") != std::string::npos) out.push_back(s);
    at = end + 1;
  }
  return out;
}

std::int64_t Int(const std::optional<std::string>& v) { return v ? std::stoll(*v) : 0; }
std::string Str(const std::optional<std::string>& v) { return v ? *v : std::string(); }

std::string Day(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &tm);
  return buffer;
}

struct Transaction {
  explicit Transaction(SqlConnection& db) : db_(db) { db_.BeginWrite(); }
  ~Transaction() {
    if (!done_) {
      try {
        db_.Rollback();
      } catch (...) {
      }
    }
  }
  void Commit() {
    db_.Commit();
    done_ = true;
  }
  SqlConnection& db_;
  bool done_ = false;
};

const char* kGroupColumns = "id, key, title, exception_class, program, status, fixed_in, last_version, count, first_seen, last_seen";
GroupRow ToGroup(const SqlRow& r) {
  GroupRow g;
  g.id = Int(r[0]);
  g.key = Str(r[1]);
  g.title = Str(r[2]);
  g.exceptionClass = Str(r[3]);
  g.program = Str(r[4]);
  g.status = Str(r[5]);
  g.fixedIn = Str(r[6]);
  g.lastVersion = Str(r[7]);
  g.count = Int(r[8]);
  g.firstSeen = Int(r[9]);
  g.lastSeen = Int(r[10]);
  return g;
}

const char* kReportColumns = "id, group_id, received, weight, report_id, version, os, checksum, message, client, text";
ReportRow ToReport(const SqlRow& r) {
  ReportRow x;
  x.id = Int(r[0]);
  x.groupId = Int(r[1]);
  x.received = Int(r[2]);
  x.weight = Int(r[3]);
  x.reportId = Str(r[4]);
  x.version = Str(r[5]);
  x.os = Str(r[6]);
  x.checksum = Str(r[7]);
  x.message = Str(r[8]);
  x.client = Str(r[9]);
  x.text = r[10];
  return x;
}

// What the sender is told about its group.
std::string Answer(const std::string& status, bool created) {
  if (created) return "new";
  if (status == "fixed") return "fixed";
  return "known";
}

}  // namespace

Store::Store(std::unique_ptr<SqlConnection> db) : db_(std::move(db)) {}

int Store::SchemaVersion() {
  std::lock_guard<std::mutex> hold(lock_);
  db_->Query("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
  const auto rows = db_->Query("SELECT MAX(version) FROM schema_version");
  return rows.empty() || !rows[0][0] ? 0 : static_cast<int>(Int(rows[0][0]));
}

void Store::Migrate() {
  const int from = SchemaVersion();
  std::lock_guard<std::mutex> hold(lock_);
  const bool pg = db_->Engine() == "postgresql";
  for (int v = from; v < static_cast<int>(std::size(kMigrations)); ++v) {
    Transaction t(*db_);
    // Two instances starting at once: the second finds the version taken and leaves it.
    const auto done = db_->Query("SELECT COUNT(*) FROM schema_version WHERE version = ?", {std::int64_t{v + 1}});
    if (Int(done[0][0]) > 0) continue;
    std::string script = kMigrations[v];
    for (std::size_t at; (at = script.find("{ID}")) != std::string::npos;) {
      script.replace(at, 4, pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY");
    }
    for (const std::string& s : Statements(script)) db_->Query(s);
    db_->Query("INSERT INTO schema_version (version) VALUES (?)", {std::int64_t{v + 1}});
    t.Commit();
  }
}

std::optional<GroupState> Store::Known(const std::string& reportId) {
  std::lock_guard<std::mutex> hold(lock_);
  return KnownLocked(reportId);
}

// The answer an upload got is given again for its repeat: "new" when it was its group's first.
std::optional<GroupState> Store::KnownLocked(const std::string& reportId) {
  const auto rows = db_->Query(
      "SELECT g.id, g.status, g.fixed_in, r.id = (SELECT MIN(f.id) FROM reports f WHERE f.group_id = g.id)"
      " FROM reports r JOIN crash_groups g ON g.id = r.group_id WHERE r.report_id = ?",
      {reportId});
  if (rows.empty()) return std::nullopt;
  GroupState s;
  s.groupId = Int(rows[0][0]);
  s.reportId = reportId;
  const std::string status = Str(rows[0][1]);
  const bool first = Str(rows[0][3]) == "1" || Str(rows[0][3]) == "t" || Str(rows[0][3]) == "true";
  s.answer = Answer(status, first && status != "fixed");
  s.fixedIn = status == "fixed" ? Str(rows[0][2]) : std::string();
  s.duplicate = true;
  return s;
}

GroupState Store::Ingest(const Incoming& raw) {
  // Every text column holds UTF-8 without control characters, whatever the sender wrote: the
  // pages and the JSON expect it, and PostgreSQL refuses anything else.
  Incoming report = raw;
  for (std::string* s : {&report.groupKey, &report.title, &report.exceptionClass, &report.message, &report.program, &report.version,
                         &report.os, &report.client, &report.text}) {
    *s = DisplayText(*s);
  }
  for (StoredFile& f : report.files) f.name = DisplayText(f.name);
  try {
    std::lock_guard<std::mutex> hold(lock_);
    return IngestOnce(report);
  } catch (const SqlError& e) {
    // Another instance stored the same report id between our look and our insert.
    if (!e.unique) throw;
  }
  if (std::optional<GroupState> known = Known(report.reportId)) return *known;
  throw SqlError("the report could not be stored");
}

GroupState Store::IngestOnce(const Incoming& in) {
  Transaction t(*db_);
  const bool pg = db_->Engine() == "postgresql";
  if (std::optional<GroupState> known = KnownLocked(in.reportId)) {
    t.Commit();
    return *known;
  }
  db_->Query(
      "INSERT INTO crash_groups (key, title, exception_class, program, count, first_seen, last_seen, status, fixed_in, last_version)"
      " VALUES (?, ?, ?, ?, 0, ?, ?, 'new', '', ?) ON CONFLICT (key) DO NOTHING",
      {in.groupKey, in.title, in.exceptionClass, in.program, in.received, in.received, in.version});
  const auto rows = db_->Query(std::string("SELECT id, count, status, fixed_in FROM crash_groups WHERE key = ?") + (pg ? " FOR UPDATE" : ""),
                               {in.groupKey});
  if (rows.empty()) throw SqlError("the group vanished");
  const std::int64_t groupId = Int(rows[0][0]);
  const bool created = Int(rows[0][1]) == 0;
  std::string status = Str(rows[0][2]);
  const std::string fixedIn = Str(rows[0][3]);
  // A fixed crash seen again in the version that fixes it, or a later one, is back.
  if (status == "fixed" && !in.version.empty() && CompareVersions(in.version, fixedIn) >= 0) status = "regressed";
  db_->Query(
      "UPDATE crash_groups SET count = count + ?, first_seen = CASE WHEN first_seen < ? THEN first_seen ELSE ? END,"
      " last_seen = CASE WHEN last_seen > ? THEN last_seen ELSE ? END, status = ?, last_version = ? WHERE id = ?",
      {in.weight, in.received, in.received, in.received, in.received, status, in.version, groupId});
  const auto inserted = db_->Query(
      "INSERT INTO reports (report_id, group_id, received, weight, version, os, checksum, message, client, text, pruned)"
      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0) RETURNING id",
      {in.reportId, groupId, in.received, in.weight, in.version, in.os, in.checksum, in.message, in.client, in.text});
  const std::int64_t reportRow = Int(inserted.at(0)[0]);
  for (const StoredFile& f : in.files) {
    db_->Query("INSERT INTO attachments (report, kind, name, hash, size) VALUES (?, ?, ?, ?, ?)", {reportRow, f.kind, f.name, f.hash, f.size});
  }
  const std::pair<const char*, std::string> counts[] = {
      {"group_versions (group_id, version, count) VALUES (?, ?, ?) ON CONFLICT (group_id, version)", in.version},
      {"group_systems (group_id, os, count) VALUES (?, ?, ?) ON CONFLICT (group_id, os)", in.os},
      {"group_days (group_id, day, count) VALUES (?, ?, ?) ON CONFLICT (group_id, day)", Day(in.received)},
  };
  for (const auto& [sql, value] : counts) {
    const std::string table = std::string(sql).substr(0, std::string(sql).find(' '));
    db_->Query(std::string("INSERT INTO ") + sql + " DO UPDATE SET count = " + table + ".count + excluded.count", {groupId, value, in.weight});
  }
  t.Commit();
  return GroupState{groupId, in.reportId, Answer(status, created), status == "fixed" ? fixedIn : std::string(), false};
}

std::vector<GroupRow> Store::Groups(const GroupQuery& q) {
  std::lock_guard<std::mutex> hold(lock_);
  std::string sql = std::string("SELECT ") + kGroupColumns + " FROM crash_groups g WHERE 1 = 1";
  std::vector<SqlValue> params;
  if (!q.version.empty()) {
    sql += " AND EXISTS (SELECT 1 FROM group_versions v WHERE v.group_id = g.id AND v.version = ?)";
    params.push_back(q.version);
  }
  if (!q.exceptionClass.empty()) {
    sql += " AND exception_class = ?";
    params.push_back(q.exceptionClass);
  }
  if (!q.status.empty()) {
    sql += " AND status = ?";
    params.push_back(q.status);
  }
  sql += q.sort == "count" ? " ORDER BY count DESC, id DESC" : " ORDER BY last_seen DESC, id DESC";
  sql += " LIMIT ? OFFSET ?";
  params.push_back(q.limit);
  params.push_back(q.offset);
  std::vector<GroupRow> out;
  for (const SqlRow& r : db_->Query(sql, params)) out.push_back(ToGroup(r));
  return out;
}

std::int64_t Store::GroupCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return Int(db_->Query("SELECT COUNT(*) FROM crash_groups")[0][0]);
}

std::vector<StoredFile> Store::FilesOf(std::int64_t reportRow) {
  std::vector<StoredFile> files;
  for (const SqlRow& r : db_->Query("SELECT kind, name, hash, size FROM attachments WHERE report = ? ORDER BY kind, name", {reportRow})) {
    files.push_back({Str(r[0]), Str(r[1]), Str(r[2]), Int(r[3])});
  }
  return files;
}

std::optional<GroupDetail> Store::Group(std::int64_t id, std::int64_t reportLimit) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto rows = db_->Query(std::string("SELECT ") + kGroupColumns + " FROM crash_groups WHERE id = ?", {id});
  if (rows.empty()) return std::nullopt;
  GroupDetail d;
  d.group = ToGroup(rows[0]);
  auto pairs = [&](const char* sql) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    for (const SqlRow& r : db_->Query(sql, {id})) out.emplace_back(Str(r[0]), Int(r[1]));
    return out;
  };
  d.versions = pairs("SELECT version, count FROM group_versions WHERE group_id = ? ORDER BY count DESC, version");
  d.systems = pairs("SELECT os, count FROM group_systems WHERE group_id = ? ORDER BY count DESC, os");
  d.days = pairs("SELECT day, count FROM group_days WHERE group_id = ? ORDER BY day DESC");
  const std::string sql = std::string("SELECT id, group_id, received, weight, report_id, version, os, checksum, message, client, NULL") +
                          " FROM reports WHERE group_id = ? AND pruned = 0 ORDER BY id DESC LIMIT ?";
  for (const SqlRow& r : db_->Query(sql, {id, reportLimit})) {
    ReportRow x = ToReport(r);
    x.files = FilesOf(x.id);
    d.reports.push_back(std::move(x));
  }
  return d;
}

std::optional<ReportRow> Store::Report(std::int64_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto rows = db_->Query(std::string("SELECT ") + kReportColumns + " FROM reports WHERE id = ?", {id});
  if (rows.empty()) return std::nullopt;
  ReportRow r = ToReport(rows[0]);
  r.files = FilesOf(r.id);
  return r;
}

std::optional<ReportRow> Store::ReportById(const std::string& reportId) {
  std::int64_t id = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto rows = db_->Query("SELECT id FROM reports WHERE report_id = ?", {reportId});
    if (rows.empty()) return std::nullopt;
    id = Int(rows[0][0]);
  }
  return Report(id);
}

bool Store::SetStatus(std::int64_t id, const std::string& status, const std::string& fixedIn) {
  std::lock_guard<std::mutex> hold(lock_);
  Transaction t(*db_);
  const auto rows = db_->Query("SELECT id FROM crash_groups WHERE id = ?", {id});
  if (rows.empty()) return false;
  db_->Query("UPDATE crash_groups SET status = ?, fixed_in = ? WHERE id = ?", {status, status == "fixed" ? fixedIn : std::string(), id});
  t.Commit();
  return true;
}

std::int64_t Store::Prune(const PruneRules& rules, std::int64_t now) {
  std::lock_guard<std::mutex> hold(lock_);
  Transaction t(*db_);
  std::int64_t pruned = 0;
  auto prune = [&](const std::string& where, const std::vector<SqlValue>& params) {
    const auto rows = db_->Query("SELECT id FROM reports WHERE pruned = 0 AND " + where, params);
    for (const SqlRow& r : rows) {
      db_->Query("DELETE FROM attachments WHERE report = ?", {Int(r[0])});
      db_->Query("UPDATE reports SET text = NULL, pruned = 1 WHERE id = ?", {Int(r[0])});
    }
    pruned += static_cast<std::int64_t>(rows.size());
  };
  if (rules.perGroup > 0) {
    prune("id IN (SELECT id FROM (SELECT id, ROW_NUMBER() OVER (PARTITION BY group_id ORDER BY id DESC) AS n"
          " FROM reports WHERE pruned = 0) ranked WHERE n > ?)",
          {rules.perGroup});
  }
  if (rules.maxAgeDays > 0) prune("received < ?", {now - rules.maxAgeDays * 86400});
  t.Commit();
  return pruned;
}

std::vector<std::string> Store::ReferencedHashes() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> out;
  for (const SqlRow& r : db_->Query("SELECT DISTINCT hash FROM attachments")) out.push_back(Str(r[0]));
  return out;
}

std::vector<std::string> Store::Versions() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> out;
  for (const SqlRow& r : db_->Query("SELECT DISTINCT version FROM group_versions ORDER BY version")) out.push_back(Str(r[0]));
  return out;
}

}  // namespace collector
