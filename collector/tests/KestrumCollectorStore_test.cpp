#include "collector/KestrumCollectorStore.h"

#include <gtest/gtest.h>

#include <thread>

#include "collector/tests/CollectorProcess.h"
#include "collector/tests/PostgresCluster.h"

namespace collector {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kT0 = 1796860800;  // 2026-12-10 00:00 UTC

Incoming Report(const std::string& id, const std::string& key, const std::string& version, std::int64_t at, std::int64_t weight = 1) {
  Incoming r;
  r.reportId = id;
  r.received = at;
  r.weight = weight;
  r.groupKey = key;
  r.title = "EAccessViolation in " + key;
  r.exceptionClass = "EAccessViolation";
  r.program = "Kelvane.exe";
  r.version = version;
  r.os = "Windows XP";
  r.checksum = "matches";
  r.text = "date/time: x";
  r.files = {{"report", "bugreport.txt", std::string(64, 'a'), 12}};
  return r;
}

GroupQuery Query(const std::string& field, const std::string& value) {
  GroupQuery q;
  if (field == "sort") q.sort = value;
  if (field == "version") q.version = value;
  if (field == "status") q.status = value;
  return q;
}

// The same suite runs on every engine the build has.
class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    store_ = std::make_unique<Store>(Open(true));
    store_->Migrate();
  }
  std::unique_ptr<SqlConnection> Open(bool fresh) {
    if (GetParam() == "sqlite") return OpenSqlite(folder_.Path() + "/c.db");
    testing::PostgresCluster& cluster = testing::SharedCluster();
    if (!cluster.Running()) throw std::runtime_error(cluster.Error());
    if (fresh) url_ = cluster.Database("store_test");
    return OpenPostgres(url_);
  }
  std::string url_;
  testing::TempFolder folder_;
  std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, CountsGroupsPerVersionSystemAndDay) {
  Store& s = *store_;
  EXPECT_EQ(s.Ingest(Report("r1", "k/1", "1.0", kT0)).answer, "new");
  EXPECT_EQ(s.Ingest(Report("r2", "k/1", "1.1", kT0 + kDay)).answer, "known");
  EXPECT_EQ(s.Ingest(Report("r3", "k/1", "1.1", kT0 + kDay + 5, 3)).answer, "known");
  EXPECT_EQ(s.Ingest(Report("r4", "k/2", "1.1", kT0 + 10)).answer, "new");
  const std::vector<GroupRow> byCount = s.Groups(Query("sort", "count"));
  ASSERT_EQ(byCount.size(), 2u);
  EXPECT_EQ(byCount[0].key, "k/1");
  EXPECT_EQ(byCount[0].count, 5) << "a folded report counts with its count";
  EXPECT_EQ(byCount[0].firstSeen, kT0);
  EXPECT_EQ(byCount[0].lastSeen, kT0 + kDay + 5);
  EXPECT_EQ(s.Groups(Query("sort", "last"))[0].key, "k/1");
  EXPECT_EQ(s.Groups(Query("version", "1.0")).size(), 1u);
  const GroupDetail d = *s.Group(byCount[0].id);
  EXPECT_EQ(d.versions, (std::vector<std::pair<std::string, std::int64_t>>{{"1.1", 4}, {"1.0", 1}}));
  EXPECT_EQ(d.days, (std::vector<std::pair<std::string, std::int64_t>>{{"2026-12-11", 4}, {"2026-12-10", 1}}));
  EXPECT_EQ(d.systems.size(), 1u);
  ASSERT_EQ(d.reports.size(), 3u);
  EXPECT_EQ(d.reports[0].reportId, "r3") << "newest first";
  EXPECT_EQ(d.reports[0].files.size(), 1u);
}

TEST_P(StoreTest, ARepeatedReportIdIsAcknowledgedWithItsFirstAnswerAndNotCounted) {
  Store& s = *store_;
  const GroupState first = s.Ingest(Report("same", "k/1", "1.0", kT0));
  const GroupState again = s.Ingest(Report("same", "k/1", "1.0", kT0 + 1));
  EXPECT_TRUE(again.duplicate);
  EXPECT_EQ(again.groupId, first.groupId);
  EXPECT_EQ(again.answer, "new");
  EXPECT_EQ(s.Groups({})[0].count, 1);
  EXPECT_EQ(s.Known("same")->answer, "new");
  EXPECT_FALSE(s.Known("other"));
}

TEST_P(StoreTest, FixedGroupsAnswerFixedUntilSeenInTheFixingVersion) {
  Store& s = *store_;
  const std::int64_t id = s.Ingest(Report("r1", "k/1", "1.0", kT0)).groupId;
  EXPECT_TRUE(s.SetStatus(id, "fixed", "1.2"));
  EXPECT_FALSE(s.SetStatus(id + 100, "fixed", "1.2"));
  const GroupState old = s.Ingest(Report("r2", "k/1", "1.1.9", kT0 + 1));
  EXPECT_EQ(old.answer, "fixed");
  EXPECT_EQ(old.fixedIn, "1.2");
  EXPECT_EQ(s.Ingest(Report("r3", "k/1", "1.10", kT0 + 2)).answer, "known") << "1.10 is later than 1.2";
  EXPECT_EQ(s.Groups({})[0].status, "regressed");
  EXPECT_EQ(s.Groups(Query("status", "regressed")).size(), 1u);
}

TEST_P(StoreTest, PruningKeepsCountsAndTheNewestReports) {
  Store& s = *store_;
  for (int i = 0; i < 5; ++i) s.Ingest(Report("a" + std::to_string(i), "k/1", "1.0", kT0 + i));
  s.Ingest(Report("old", "k/2", "1.0", kT0 - 40 * kDay));
  s.Ingest(Report("young", "k/2", "1.0", kT0));
  EXPECT_EQ(s.Prune({2, 30}, kT0 + 10), 3 + 1);
  const GroupDetail d = *s.Group(s.Groups(Query("sort", "count"))[0].id);
  EXPECT_EQ(d.group.count, 5);
  ASSERT_EQ(d.reports.size(), 2u);
  EXPECT_EQ(d.reports[0].reportId, "a4");
  EXPECT_EQ(d.reports[1].reportId, "a3");
  EXPECT_FALSE(s.ReportById("a0")->text) << "pruned reports keep their row, not their text";
  EXPECT_TRUE(s.Ingest(Report("a0", "k/1", "1.0", kT0)).duplicate) << "and so stay idempotent";
  EXPECT_FALSE(s.ReportById("old")->text);
  EXPECT_TRUE(s.ReportById("young")->text);
  EXPECT_EQ(s.Prune({2, 30}, kT0 + 10), 0);
}

TEST_P(StoreTest, MigrationsRunOnceAndLeaveTheDataAlone) {
  store_->Ingest(Report("r1", "k/1", "1.0", kT0));
  const int version = store_->SchemaVersion();
  EXPECT_GE(version, 2);
  store_.reset();
  Store again(Open(false));
  again.Migrate();
  EXPECT_EQ(again.SchemaVersion(), version);
  EXPECT_EQ(again.Groups({})[0].count, 1);
}

TEST_P(StoreTest, ConcurrentWritersOnTheirOwnConnectionsNeitherLoseNorDoubleCount) {
  // Two instances of the collector behind a load balancer: each has its own connection.
  std::vector<std::unique_ptr<Store>> stores;
  for (int i = 0; i < 2; ++i) stores.push_back(std::make_unique<Store>(Open(false)));
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 40; ++i) {
        // Both send every report once: each id must count once.
        stores[static_cast<std::size_t>(w)]->Ingest(Report("c" + std::to_string(i), "k/" + std::to_string(i % 4), "1.0", kT0 + i));
      }
    });
  }
  for (std::thread& t : writers) t.join();
  std::int64_t total = 0;
  for (const GroupRow& g : store_->Groups({})) total += g.count;
  EXPECT_EQ(total, 40);
  EXPECT_EQ(store_->GroupCount(), 4);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace collector
