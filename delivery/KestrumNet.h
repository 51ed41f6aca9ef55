// The sockets the transports talk through. The protocol logic sees only these interfaces; the
// Windows side implements them with Winsock, tests with the host's sockets or with scripts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

class Connection {
 public:
  virtual ~Connection() = default;
  // Sends everything (in chunks of at most 1024 bytes); false when a send fails.
  virtual bool Send(std::string_view data) = 0;
  // Waits at most timeoutMs for data and receives up to size bytes: the count, 0 when the peer
  // closed, -1 on timeout or error.
  virtual int Receive(char* buffer, int size, int timeoutMs) = 0;
};

// What the transports need besides a connection, so that tests can stand in for the system.
class Network {
 public:
  virtual ~Network() = default;
  // A connected TCP socket to host (dotted address or name) and port, or none.
  virtual std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) = 0;
  // Sends one UDP datagram to server and waits at most timeoutMs for each answer; collects
  // answers until accept() takes one or the time is up. Returns the accepted answer or none.
  struct DnsServer {
    std::string host;
    std::uint16_t port = 53;
  };
  virtual std::vector<DnsServer> DnsServers() = 0;
  // Where a lookup without DNS servers starts asking: root name servers (none: no such lookup).
  virtual std::vector<DnsServer> RootServers() { return {}; }
  virtual std::optional<std::vector<std::uint8_t>> ExchangeDatagram(const std::vector<DnsServer>& servers,
                                                                    const std::vector<std::uint8_t>& query, int timeoutMs,
                                                                    bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                                    void* context) = 0;
  // The proxy list of the internet settings ("" for none).
  virtual std::string ProxySetting() = 0;
  // Opens a web address in the user's browser.
  virtual bool OpenWebAddress(const std::string& url) = 0;
  virtual std::string ComputerName() = 0;
  // The current UTC time as a platform file time (100 ns units since 1601).
  virtual std::uint64_t UtcFileTime() = 0;
  virtual std::uint16_t RandomId() = 0;
};

// How a transport reports its progress: the areas of the progress window.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void AddArea(std::int64_t weight, const std::string& text) = 0;
  virtual void ClearAreas() = 0;
  virtual void AreaDone() = 0;
  virtual int CurrentArea() = 0;
  virtual void SetCurrentArea(int value) = 0;
  virtual void SetPosition(int value) = 0;
};

}  // namespace delivery
