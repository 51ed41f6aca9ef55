// The transports' network on Windows: Winsock sockets, the system's DNS server list, the proxy
// of the internet settings and the shell; and the ZIP archive of files on disk.
#pragma once

// Winsock's header must come before the window system's.
#include <winsock2.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "delivery/KestrumNet.h"

namespace delivery {

// Winsock started for the lifetime of the object (version 1.1, as the transports need no more).
class WinsockSession {
 public:
  WinsockSession();
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

// How long a connection may take to come about, and one send to be taken by the peer.
inline constexpr int kConnectWaitMs = 10000;
inline constexpr DWORD kSendWaitMs = 30000;

class WinsockNetwork : public Network {
 public:
  int connectWaitMs = kConnectWaitMs;
  DWORD sendWaitMs = kSendWaitMs;
  // Tests put their own servers and proxy here instead of the system's.
  std::optional<std::vector<DnsServer>> dnsServersOverride;
  std::optional<std::string> proxyOverride;
  std::optional<std::vector<DnsServer>> rootServersOverride;
  // Tests see what would have been opened instead of a browser window.
  std::vector<std::string>* openedForTest = nullptr;

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port) override;
  std::vector<DnsServer> DnsServers() override;
  // Two of the root name servers (a and k), at their long-standing addresses.
  std::vector<DnsServer> RootServers() override;
  std::optional<std::vector<std::uint8_t>> ExchangeDatagram(const std::vector<DnsServer>& servers, const std::vector<std::uint8_t>& query,
                                                            int timeoutMs, bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                            void* context) override;
  std::string ProxySetting() override;
  bool OpenWebAddress(const std::string& url) override;
  std::string ComputerName() override;
  std::uint64_t UtcFileTime() override;
  std::uint16_t RandomId() override;
};

// The system's DNS servers: the current one first, then the configured list without it.
std::vector<Network::DnsServer> SystemDnsServers();

// Packs the files into a new archive (names: the send-as names, else the file-name part) with
// their attributes and last-write times; files that cannot be read are skipped. False, with the
// archive removed, when no entry was written or writing failed.
bool ZipFiles(const std::string& archive, const std::vector<std::string>& files, const std::vector<std::string>& names);

}  // namespace delivery

struct IProgressAlert;

namespace delivery {

// The progress window seen as the transports' progress sink; the window is pumped on each call.
class ProgressAlertSink : public ProgressSink {
 public:
  explicit ProgressAlertSink(IProgressAlert* window) : window_(window) {}
  void AddArea(std::int64_t weight, const std::string& text) override;
  void ClearAreas() override;
  void AreaDone() override;
  int CurrentArea() override;
  void SetCurrentArea(int value) override;
  void SetPosition(int value) override;

 private:
  IProgressAlert* window_;
};

}  // namespace delivery
