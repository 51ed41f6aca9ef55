// The transports' network over the host's sockets, and the loopback peers (Python programs) the
// tests talk to.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "delivery/KestrumNet.h"

namespace delivery::testing {

class HostConnection : public Connection {
 public:
  explicit HostConnection(int fd) : fd_(fd) {}
  ~HostConnection() override { ::close(fd_); }
  bool Send(std::string_view data) override {
    while (!data.empty()) {
      const ssize_t n = ::send(fd_, data.data(), std::min<std::size_t>(data.size(), 1024), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  int Receive(char* buffer, int size, int timeoutMs) override {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    const ssize_t n = ::recv(fd_, buffer, static_cast<std::size_t>(size), 0);
    return n < 0 ? -1 : static_cast<int>(n);
  }

 private:
  int fd_;
};

class HostNetwork : public Network {
 public:
  std::vector<DnsServer> dnsServers;
  std::string proxy;
  std::vector<std::string> opened;

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return nullptr;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool ok = ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    ::freeaddrinfo(found);
    if (!ok) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<HostConnection>(fd);
  }
  std::vector<DnsServer> DnsServers() override { return dnsServers; }
  std::optional<std::vector<std::uint8_t>> ExchangeDatagram(const std::vector<DnsServer>& servers, const std::vector<std::uint8_t>& query,
                                                            int timeoutMs, bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                            void* context) override {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (const DnsServer& s : servers) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(s.port);
      ::inet_pton(AF_INET, s.host.c_str(), &to.sin_addr);
      ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    std::optional<std::vector<std::uint8_t>> result;
    for (std::size_t answers = 0; answers < servers.size() && !result; ++answers) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      std::vector<std::uint8_t> packet(512);
      const ssize_t n = ::recv(fd, packet.data(), packet.size(), 0);
      if (n < 0) break;
      packet.resize(static_cast<std::size_t>(n));
      if (accept(packet, context)) result = std::move(packet);
    }
    ::close(fd);
    return result;
  }
  std::string ProxySetting() override { return proxy; }
  bool OpenWebAddress(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  std::string ComputerName() override { return "kelvane-test"; }
  std::uint64_t UtcFileTime() override {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) * 10 +
           116444736000000000ULL;
  }
  std::uint16_t RandomId() override { return static_cast<std::uint16_t>(std::rand()); }
};

// A program started with pipes on stdin and stdout; its first output line is read at start.
// Closing stdin asks it to end; it is killed when it has not ended by then.
class PeerProcess {
 public:
  explicit PeerProcess(std::vector<std::string> args) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    char c;
    pollfd p{stdout_, POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0 && ::read(stdout_, &c, 1) == 1 && c != '\n') firstLine_ += c;
  }
  ~PeerProcess() {
    if (pid_ <= 0) return;
    ::close(stdin_);
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        ::close(stdout_);
        return;
      }
      ::usleep(20000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(stdout_);
  }
  const std::string& FirstLine() const { return firstLine_; }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(std::atoi(firstLine_.c_str())); }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string firstLine_;
};

// Runs a program to its end: its exit code and output.
inline int RunProgram(const std::string& command, std::string& output) {
  output.clear();
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace delivery::testing
