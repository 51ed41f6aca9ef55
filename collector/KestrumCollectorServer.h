// The collector as a program: ingest of uploads and files, the HTTP server with its pages and
// JSON API, and the background pruning.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "collector/KestrumCollectorFiles.h"
#include "collector/KestrumCollectorForm.h"
#include "collector/KestrumCollectorStore.h"

namespace collector {

struct Options {
  std::string listen = "127.0.0.1:8080";
  std::string data = "kestrum-data";
  std::string database;  // "" : SQLite in the data folder
  std::size_t maxUpload = 20 * 1024 * 1024;
  double ratePerMinute = 120;  // per client address; 0: no limit
  double burst = 60;
  std::string adminToken;
  PruneRules prune;
  int pruneSeconds = 600;
  int readTimeoutSeconds = 10;
  int threads = 8;
  bool log = true;
};

// An answer to an upload: the HTTP status and its body.
struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  int retryAfter = 0;  // seconds, for 429 and 503
};

// Per-client token buckets.
class RateLimiter {
 public:
  RateLimiter(double perMinute, double burst) : perSecond_(perMinute / 60), burst_(burst) {}
  // 0 when the request may go on, else the seconds to wait.
  int Take(const std::string& client, double nowSeconds);

 private:
  struct Bucket {
    double tokens, at;
  };
  double perSecond_, burst_;
  std::mutex lock_;
  std::map<std::string, Bucket> buckets_;
};

class Collector {
 public:
  explicit Collector(const Options& options);
  // Reads, checks, stores and answers one upload body. Unreadable bodies go to the quarantine.
  Answer Upload(std::string_view body, std::string_view contentType, const std::string& client);
  // Imports a bug report file or a ZIP of one: the count of reports stored (repeats of an
  // earlier import count nothing). error tells what could not be read.
  int Import(const std::string& path, std::string& error);
  std::int64_t Prune();
  // A 400 answer; the body is kept in the quarantine with the reason.
  Answer Refuse(std::string_view body, const std::string& why, const std::string& client);
  Store& Db() { return *store_; }
  FileStore& Files() { return files_; }
  const Options& Settings() const { return options_; }

 private:
  Options options_;
  FileStore files_;
  std::unique_ptr<Store> store_;
};

// Runs the server until stop becomes true or SIGTERM/SIGINT arrives; prints "listening on
// HOST:PORT" once it listens (port 0 takes a free one). Returns the process's exit code.
int Serve(Collector& collector, std::atomic<bool>* stop = nullptr);

}  // namespace collector
