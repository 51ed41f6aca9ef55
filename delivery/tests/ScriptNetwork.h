// A network whose peer follows a script: each Receive hands out the next chunk (none left: a
// timeout), and everything sent is recorded.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>

#include "delivery/KestrumNet.h"

namespace delivery::testing {

struct ScriptPeer {
  std::deque<std::string> chunks;
  std::string sent;
  bool connected = false;
};

class ScriptConnection : public Connection {
 public:
  explicit ScriptConnection(ScriptPeer& peer) : peer_(peer) {}
  bool Send(std::string_view data) override {
    peer_.sent.append(data);
    return true;
  }
  int Receive(char* buffer, int size, int) override {
    if (peer_.chunks.empty()) return -1;
    std::string& c = peer_.chunks.front();
    const int n = std::min<int>(size, static_cast<int>(c.size()));
    c.copy(buffer, static_cast<std::size_t>(n));
    c.erase(0, static_cast<std::size_t>(n));
    if (c.empty()) peer_.chunks.pop_front();
    return n;
  }

 private:
  ScriptPeer& peer_;
};

class ScriptNetwork : public Network {
 public:
  std::map<std::string, ScriptPeer> peers;  // "host:port"
  std::vector<DnsServer> dnsServers;
  std::vector<DnsServer> rootServers;
  // The servers each exchange went to.
  std::vector<std::vector<DnsServer>> askedServers;
  // The answers that arrive for each exchange in turn.
  std::deque<std::vector<std::vector<std::uint8_t>>> datagrams;
  std::vector<std::vector<std::uint8_t>> queries;
  std::string proxy;
  std::vector<std::string> opened;
  std::uint16_t nextId = 0x4711;

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) override {
    auto it = peers.find(host + ":" + std::to_string(port));
    if (it == peers.end()) return nullptr;
    it->second.connected = true;
    return std::make_unique<ScriptConnection>(it->second);
  }
  std::vector<DnsServer> DnsServers() override { return dnsServers; }
  std::vector<DnsServer> RootServers() override { return rootServers; }
  std::optional<std::vector<std::uint8_t>> ExchangeDatagram(const std::vector<DnsServer>& servers, const std::vector<std::uint8_t>& query,
                                                            int, bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                            void* context) override {
    queries.push_back(query);
    askedServers.push_back(servers);
    if (datagrams.empty()) return std::nullopt;
    const std::vector<std::vector<std::uint8_t>> answers = std::move(datagrams.front());
    datagrams.pop_front();
    for (const auto& d : answers) {
      if (accept(d, context)) return d;
    }
    return std::nullopt;
  }
  std::string ProxySetting() override { return proxy; }
  bool OpenWebAddress(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  std::string ComputerName() override { return "TESTPC"; }
  std::uint64_t UtcFileTime() override { return 134099999990000000ULL; }
  std::uint16_t RandomId() override { return nextId; }
};

}  // namespace delivery::testing
