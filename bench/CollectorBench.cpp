// The collector's benchmark client (bench/collector.sh):
//   load PORT CLIENTS COUNT REPORT-FILE   uploads over loopback: reports per second, median and 99th percentile
//   floor DATABASE COUNT REPORT-FILE      the same rows stored straight into the engine, no HTTP
//   populate DATABASE GROUPS REPORTS      a large database for the page timings
// DATABASE is a SQLite file or a postgresql:// URL.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "collector/KestrumCollectorReport.h"
#include "collector/KestrumCollectorStore.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Reports(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  const std::string content = s.str();
  std::vector<std::string> out;
  for (std::string_view r : collector::SplitReportFile(content)) out.emplace_back(r);
  return out;
}

std::string Body(const std::string& id, const std::string& report) {
  const std::string b = "bench-boundary";
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"report_id\"\r\n\r\n" + id + "\r\n--" + b +
         "\r\nContent-Disposition: form-data; name=\"BugReport\"; filename=\"bugreport.txt\"\r\n\r\n" + report + "\r\n--" + b + "--\r\n";
}

std::unique_ptr<collector::SqlConnection> Open(const std::string& db) {
  return db.starts_with("postgres") ? collector::OpenPostgres(db) : collector::OpenSqlite(db);
}

void Percentiles(std::vector<double>& ms, double seconds, std::size_t count, const char* what) {
  std::sort(ms.begin(), ms.end());
  const double p50 = ms.empty() ? 0 : ms[ms.size() / 2], p99 = ms.empty() ? 0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  std::printf("%s: %zu reports in %.2f s = %.0f/s, median %.2f ms, p99 %.2f ms\n", what, count, seconds, count / seconds, p50, p99);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string mode = argv[1];
  const auto started = std::chrono::system_clock::now().time_since_epoch().count();
  if (mode == "load") {
    const int port = std::atoi(argv[2]), clients = std::atoi(argv[3]), count = std::atoi(argv[4]);
    const std::vector<std::string> reports = Reports(argv[5]);
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<int> next{0}, failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
      threads.emplace_back([&, t] {
        httplib::Client c("127.0.0.1", port);
        for (int i; (i = next++) < count;) {
          const std::string body = Body("b" + std::to_string(started) + "-" + std::to_string(i), reports[static_cast<std::size_t>(i) % reports.size()]);
          const auto t0 = Clock::now();
          auto res = c.Post("/upload", body, "multipart/form-data; boundary=bench-boundary");
          latencies[static_cast<std::size_t>(t)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          if (!res || res->status != 200) ++failed;
        }
      });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    Percentiles(all, seconds, static_cast<std::size_t>(count), ("upload, " + std::to_string(clients) + " clients").c_str());
    if (failed) std::printf("  %d uploads failed\n", failed.load());
    return failed ? 1 : 0;
  }
  if (mode == "floor") {
    const int count = std::atoi(argv[3]);
    const std::vector<std::string> reports = Reports(argv[4]);
    collector::Store store(Open(argv[2]));
    store.Migrate();
    std::vector<double> ms;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      const std::string& text = reports[static_cast<std::size_t>(i) % reports.size()];
      const collector::ParsedReport r = *collector::ParseReport(text);
      collector::Incoming in;
      in.reportId = "f" + std::to_string(started) + "-" + std::to_string(i);
      in.received = 1796860800 + i;
      in.groupKey = r.groupKey;
      in.title = r.title;
      in.exceptionClass = r.exceptionClass;
      in.program = r.program;
      in.version = r.version;
      in.os = r.os;
      in.checksum = collector::ChecksumStateName(r.checksum);
      in.text = text;
      in.files = {{"report", "bugreport.txt", std::string(64, 'a'), static_cast<std::int64_t>(text.size())}};
      const auto t0 = Clock::now();
      store.Ingest(in);
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    Percentiles(ms, std::chrono::duration<double>(Clock::now() - start).count(), static_cast<std::size_t>(count), "floor, straight into the engine");
    return 0;
  }
  if (mode == "populate") {
    const long long groups = std::atoll(argv[3]), reports = std::atoll(argv[4]);
    collector::Store store(Open(argv[2]));
    store.Migrate();
    std::unique_ptr<collector::SqlConnection> db = Open(argv[2]);
    db->BeginWrite();
    db->Query("INSERT INTO crash_groups (key, title, exception_class, program, count, first_seen, last_seen, status, fixed_in, last_version)"
              " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?)"
              " SELECT 'bench/' || i, 'EAccessViolation in TBench.Step' || i || '()', 'EAccessViolation', 'Kelvane.exe', 0,"
              " CAST(1796860800 AS BIGINT) + i, CAST(1796860800 AS BIGINT) + i, 'new', '', '1.0.' || (i % 20) FROM n",
              {static_cast<std::int64_t>(groups)});
    db->Query("INSERT INTO reports (report_id, group_id, received, weight, version, os, checksum, message, client, text, pruned)"
              " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?)"
              " SELECT 'p' || i, 1 + (CAST(i AS BIGINT) * 7919) % ?, CAST(1796860800 AS BIGINT) + i, 1, '1.0.' || (i % 20), 'Windows 7', 'matches', '', 'bench', NULL, 1 FROM n",
              {static_cast<std::int64_t>(reports), static_cast<std::int64_t>(groups)});
    db->Query("UPDATE crash_groups SET count = (SELECT COUNT(*) FROM reports r WHERE r.group_id = crash_groups.id),"
              " last_seen = (SELECT MAX(received) FROM reports r WHERE r.group_id = crash_groups.id)");
    db->Query("INSERT INTO group_versions (group_id, version, count) SELECT group_id, version, COUNT(*) FROM reports GROUP BY group_id, version");
    db->Commit();
    std::printf("populated %lld groups, %lld reports\n", groups, reports);
    return 0;
  }
  return 2;
}
