// The collector under pressure: killed during a burst of uploads, many clients at once, and a
// disk that fills up.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "collector/KestrumCollectorFiles.h"
#include "collector/KestrumCollectorStore.h"
#include "collector/tests/CollectorFixtures.h"
#include "collector/tests/CollectorProcess.h"

namespace collector {
namespace {

using nlohmann::json;
using testing::CollectorProcess;
using testing::FormBody;
using testing::FormType;
using testing::MakeReport;
using testing::ReportRecipe;
using testing::TempFolder;

// One of `kinds` different crashes, each report of it a little different (time, process).
std::string VariedReport(int kind, int serial, std::size_t padding = 0) {
  ReportRecipe s;
  s.trace = testing::CrashTrace(("TWorker.Step" + std::to_string(kind) + "()").c_str(), 0x00403000 + 0x40 * static_cast<std::uint32_t>(kind));
  s.processId = "$" + std::to_string(1000 + serial);
  s.date = "2026-12-10, 17:" + std::to_string(10 + serial % 50) + ":00, " + std::to_string(serial % 1000) + "ms";
  if (padding) s.extraSection = std::string(padding, 'p') + std::to_string(serial);
  return MakeReport(s);
}

std::string Upload(const std::string& id, const std::string& report) {
  return FormBody({{"report_id", "", id}, {"BugReport", "bugreport.txt", report}});
}

std::int64_t One(SqlConnection& db, const std::string& sql) { return std::stoll(*db.Query(sql)[0][0]); }

// What a crash must never leave: a count without its report, a report without its counts or a
// report whose files are missing.
void ExpectConsistent(const std::string& data) {
  std::unique_ptr<SqlConnection> db = OpenSqlite(data + "/collector.db");
  EXPECT_EQ(*db->Query("PRAGMA integrity_check")[0][0], "ok");
  const std::int64_t reports = One(*db, "SELECT COUNT(*) FROM reports");
  EXPECT_EQ(One(*db, "SELECT COALESCE(SUM(count), 0) FROM crash_groups"), reports);
  EXPECT_EQ(One(*db, "SELECT COALESCE(SUM(count), 0) FROM group_versions"), reports);
  EXPECT_EQ(One(*db, "SELECT COALESCE(SUM(count), 0) FROM group_days"), reports);
  FileStore files(data);
  for (const SqlRow& r : db->Query("SELECT DISTINCT hash FROM attachments")) {
    std::string content;
    EXPECT_TRUE(files.Get(*r[0], content)) << *r[0];
    EXPECT_EQ(Sha256Hex(content), *r[0]);
  }
}

TEST(CollectorStress, EveryAcknowledgedReportSurvivesKill9) {
  TempFolder data;
  std::vector<std::string> acknowledged;
  {
    CollectorProcess c(data.Path(), {"--rate", "0"});
    ASSERT_GT(c.Port(), 0);
    std::mutex lock;
    std::atomic<bool> go{true};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
      clients.emplace_back([&, t] {
        httplib::Client client = c.Client();
        for (int i = 0; go; ++i) {
          const std::string id = "k" + std::to_string(t) + "-" + std::to_string(i);
          auto res = client.Post("/upload", Upload(id, VariedReport(i % 7, i)), FormType().c_str());
          if (!res) break;
          if (res->status == 200) {
            std::lock_guard<std::mutex> hold(lock);
            acknowledged.push_back(id);
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    c.Kill();
    go = false;
    for (std::thread& t : clients) t.join();
  }
  ASSERT_GT(acknowledged.size(), 20u) << "the burst was under way";
  ExpectConsistent(data.Path());
  Store store(OpenSqlite(data.Path() + "/collector.db"));
  std::size_t missing = 0;
  for (const std::string& id : acknowledged) missing += !store.Known(id);
  EXPECT_EQ(missing, 0u) << "of " << acknowledged.size() << " acknowledged reports";
  // And the collector starts again on what the crash left.
  CollectorProcess again(data.Path());
  auto res = again.Client().Get("/api/groups");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST(CollectorStress, TwentyClientsFiveThousandReportsNoneLostNoneTwice) {
  TempFolder data;
  CollectorProcess c(data.Path(), {"--rate", "0", "--threads", "20"});
  constexpr int kClients = 20, kEach = 250, kKinds = 50;
  std::atomic<int> ok{0}, failed{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client client = c.Client();
      for (int i = 0; i < kEach; ++i) {
        const int serial = t * kEach + i;
        const std::string body = Upload("load-" + std::to_string(serial), VariedReport(serial % kKinds, serial));
        auto res = client.Post("/upload", body, FormType().c_str());
        // A lost answer is sent again, as a client would: the report id keeps it from counting twice.
        if (!res) res = client.Post("/upload", body, FormType().c_str());
        (res && res->status == 200 ? ok : failed)++;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("5000 uploads from 20 clients in %.1f s (%.0f per second, sanitizer build)\n", seconds, 5000 / seconds);
  EXPECT_EQ(ok, kClients * kEach);
  EXPECT_EQ(failed, 0);
  const json groups = json::parse(c.Client().Get("/api/groups?limit=1000")->body);
  EXPECT_EQ(groups["total"], kKinds);
  int total = 0;
  for (const json& g : groups["groups"]) {
    total += g["count"].get<int>();
    EXPECT_EQ(g["count"], kClients * kEach / kKinds);
  }
  EXPECT_EQ(total, kClients * kEach);
  EXPECT_EQ(c.Stop(), 0);
  ExpectConsistent(data.Path());
}

// A small file system of its own (tmpfs; mounting needs root, which CI has).
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& path) : path_(path) {
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=3m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(CollectorStress, AFullDiskAnswers503AndRecoversWhenSpaceReturns) {
  TempFolder mountPoint;
  SmallDisk disk(mountPoint.Path());
  ASSERT_TRUE(disk.Mounted()) << "mounting a tmpfs needs root (CAP_SYS_ADMIN): " << std::strerror(errno);
  const std::string data = mountPoint.Path() + "/data";
  CollectorProcess c(data, {"--rate", "0"});
  ASSERT_GT(c.Port(), 0);
  // Leave little room: the uploads below fill the rest.
  {
    std::ofstream filler(mountPoint.Path() + "/filler", std::ios::binary);
    filler << std::string(2500 * 1024, 'f');
  }
  std::vector<std::string> acknowledged;
  int full = 0;
  std::string retryAfter;
  for (int i = 0; i < 60 && full < 3; ++i) {
    const std::string id = "disk-" + std::to_string(i);
    auto res = c.Client().Post("/upload", Upload(id, VariedReport(i % 3, i, 40000)), FormType().c_str());
    ASSERT_TRUE(res);
    if (res->status == 200) acknowledged.push_back(id);
    if (res->status == 503) {
      ++full;
      retryAfter = res->get_header_value("Retry-After");
    } else {
      EXPECT_EQ(res->status, 200) << res->body;
    }
  }
  EXPECT_EQ(full, 3) << "the disk filled up";
  EXPECT_FALSE(retryAfter.empty());
  std::filesystem::remove(mountPoint.Path() + "/filler");
  auto res = c.Client().Post("/upload", Upload("after", VariedReport(0, 999, 40000)), FormType().c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  acknowledged.push_back("after");
  EXPECT_EQ(c.Stop(), 0);
  ExpectConsistent(data);
  Store store(OpenSqlite(data + "/collector.db"));
  for (const std::string& id : acknowledged) EXPECT_TRUE(store.Known(id)) << id;
}

}  // namespace
}  // namespace collector
