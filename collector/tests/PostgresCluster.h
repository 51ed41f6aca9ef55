// A private PostgreSQL cluster for one test program: initdb into a temporary folder, the server
// on a Unix socket there (no TCP port), stopped by its process id at the end. PostgreSQL refuses
// to run as root, so as root the cluster belongs to the unprivileged user "nobody" and its
// programs run through runuser.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "collector/tests/CollectorProcess.h"
#include "delivery/tests/HostNetwork.h"

namespace collector::testing {

class PostgresCluster {
 public:
  PostgresCluster() {
    namespace fs = std::filesystem;
    std::string bin;
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec_)) {
      if (fs::exists(e.path() / "bin/initdb")) bin = (e.path() / "bin").string();
    }
    if (bin.empty()) {
      error_ = "no PostgreSQL server programs in /usr/lib/postgresql/*/bin";
      return;
    }
    const std::string folder = folder_.Path();
    const bool root = ::getuid() == 0;
    const std::string as = root ? "runuser -u nobody -- " : "";
    if (root && std::system(("chown nobody " + folder).c_str()) != 0) {
      error_ = "cannot give the cluster's folder to nobody";
      return;
    }
    std::string out;
    if (delivery::testing::RunProgram(as + bin + "/initdb -A trust -U collector -E UTF8 --no-sync -D " + folder + "/db", out) != 0) {
      error_ = "initdb failed: " + out;
      return;
    }
    // fsync stays on: the tests check what is durable.
    if (delivery::testing::RunProgram(as + bin + "/pg_ctl -w -t 60 -D " + folder + "/db -l " + folder + "/log -o \"-k " + folder +
                                          " -c listen_addresses='' -c max_connections=50\" start",
                                      out) != 0) {
      error_ = "the server did not start: " + out;
      return;
    }
    std::ifstream pidFile(folder + "/db/postmaster.pid");
    pidFile >> pid_;
    url_ = "postgresql://collector@/postgres?host=" + folder;
  }
  ~PostgresCluster() {
    if (pid_ <= 0) return;
    // Fast shutdown; the postmaster is no child of ours, so its end is seen by its pid vanishing.
    ::kill(pid_, SIGINT);
    for (int i = 0; i < 600 && ::kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
  }
  bool Running() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  // A connection URL to a database of its own, made empty.
  std::string Database(const std::string& name) {
    std::string out;
    delivery::testing::RunProgram("psql -q -v ON_ERROR_STOP=1 '" + url_ + "' -c 'DROP DATABASE IF EXISTS " + name +
                                      "' -c 'CREATE DATABASE " + name + "'",
                                  out);
    return "postgresql://collector@/" + name + "?host=" + folder_.Path();
  }

 private:
  TempFolder folder_;
  std::error_code ec_;
  std::string error_, url_;
  pid_t pid_ = -1;
};

// One cluster for the whole test program.
inline PostgresCluster& SharedCluster() {
  static PostgresCluster cluster;
  return cluster;
}

}  // namespace collector::testing
