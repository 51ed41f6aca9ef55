// The collector program started by a test: its data folder, its port, uploads to it and its end
// by SIGTERM or SIGKILL, by process id.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "delivery/KestrumMailText.h"

namespace collector::testing {

inline std::string BinaryDir() {
  const char* dir = std::getenv("KELVANE_BINARY_DIR");
  return dir ? dir : ".";
}

// A fresh folder below the system's temporary folder, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrum-collector-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class CollectorProcess {
 public:
  // args after "serve"; --listen and --quiet are added unless given.
  CollectorProcess(const std::string& data, std::vector<std::string> args = {}) {
    std::vector<std::string> all = {BinaryDir() + "/bin/kestrum-collector", "serve", "--data", data, "--listen", "127.0.0.1:0", "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    stdout_ = out[0];
    std::string line;
    char c;
    pollfd p{stdout_, POLLIN, 0};
    while (::poll(&p, 1, 30000) > 0 && ::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    const std::size_t colon = line.rfind(':');
    if (line.starts_with("listening on") && colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
  }
  ~CollectorProcess() {
    if (pid_ > 0) Kill();
    if (stdout_ >= 0) ::close(stdout_);
  }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  httplib::Client Client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30, 0);
    return c;
  }
  // SIGTERM and the exit code (-1 when it had to be killed after timeoutMs).
  int Stop(int timeoutMs = 20000) {
    ::kill(pid_, SIGTERM);
    for (int waited = 0; waited < timeoutMs; waited += 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    Kill();
    return -1;
  }
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int port_ = 0;
};

// A multipart body as the component lays it out (its boundary), for uploads the tests shape by hand.
struct Part {
  std::string name, fileName, data;
};
inline std::string FormBody(const std::vector<Part>& parts) {
  const std::string b(delivery::kMultipartBoundary);
  std::string body;
  for (const Part& p : parts) {
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
    if (!p.fileName.empty()) body += "; filename=\"" + p.fileName + "\"\r\nContent-Type: application/octet-stream";
    body += "\r\n\r\n" + p.data + "\r\n";
  }
  return body + "--" + b + "--\r\n";
}
inline std::string FormType() { return "multipart/form-data; boundary=" + std::string(delivery::kMultipartBoundary); }

}  // namespace collector::testing
