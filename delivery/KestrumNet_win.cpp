#include "delivery/KestrumNet_win.h"

#include <iphlpapi.h>
#include <shellapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "delivery/KestrumProgress_win.h"
#include "delivery/KestrumZip.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

namespace delivery {
namespace {

struct SocketTraits {
  using Handle = SOCKET;
  static Handle Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(Handle h) noexcept { closesocket(h); }
};
using SocketHandle = platform::ScopedHandle<SocketTraits>;

// Waits until s can be read, at most timeoutMs.
bool WaitReadable(SOCKET s, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &t) == 1;
}

bool Resolve(const std::string& host, in_addr& address) {
  address.s_addr = inet_addr(host.c_str());
  if (address.s_addr != INADDR_NONE) return true;
  const hostent* h = gethostbyname(host.c_str());
  if (!h || h->h_addrtype != AF_INET || !h->h_addr_list[0]) return false;
  std::memcpy(&address, h->h_addr_list[0], sizeof address);
  return true;
}

class WinsockConnection : public Connection {
 public:
  explicit WinsockConnection(SOCKET s) : s_(s) {}
  bool Send(std::string_view data) override {
    while (!data.empty()) {
      const int n = send(s_.Get(), data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 65536)), 0);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  int Receive(char* buffer, int size, int timeoutMs) override {
    // The wait is the socket's receive time-out rather than a select before each receive: one
    // call instead of two, and under Wine each is a round trip to the server process. A receive
    // that timed out ends the exchange, so the state it leaves the socket in does not matter.
    if (timeoutMs != receiveWaitMs_) {
      const DWORD wait = static_cast<DWORD>(std::max(timeoutMs, 1));
      if (setsockopt(s_.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait) != 0) return -1;
      receiveWaitMs_ = timeoutMs;
    }
    const int n = recv(s_.Get(), buffer, size, 0);
    return n == SOCKET_ERROR ? -1 : n;
  }

 private:
  SocketHandle s_;
  int receiveWaitMs_ = -1;
};

struct IpHelperEntries {
  decltype(&::GetNetworkParams) pGetNetworkParams;
};

struct WinInetEntries {
  decltype(&::InternetQueryOptionA) pInternetQueryOptionA;
};

}  // namespace

WinsockSession::WinsockSession() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

WinsockSession::~WinsockSession() {
  if (started_) WSACleanup();
}

std::unique_ptr<Connection> WinsockNetwork::Connect(const std::string& host, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!Resolve(host, to.sin_addr)) return nullptr;
  SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (s.Get() == INVALID_SOCKET) return nullptr;
  // A host that drops the connection request would hold a blocking connect for minutes: the
  // request is made without blocking and waited for at most connectWaitMs.
  u_long nonBlocking = 1;
  if (ioctlsocket(s.Get(), FIONBIO, &nonBlocking) != 0) return nullptr;
  if (connect(s.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return nullptr;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.Get(), &writable);
    FD_SET(s.Get(), &failed);
    timeval t{connectWaitMs / 1000, (connectWaitMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &t) != 1 || !FD_ISSET(s.Get(), &writable)) return nullptr;
    int error = 0;
    int size = sizeof error;
    if (getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0) return nullptr;
  }
  nonBlocking = 0;
  if (ioctlsocket(s.Get(), FIONBIO, &nonBlocking) != 0) return nullptr;
  // The commands and the data's last line are small sends after larger ones: held back until the
  // peer acknowledges, they would wait for its delayed acknowledgement at every step.
  const BOOL noDelay = TRUE;
  setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  // A peer that stops reading must not hold a send for ever either.
  setsockopt(s.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendWaitMs), sizeof sendWaitMs);
  return std::make_unique<WinsockConnection>(s.Release());
}

std::vector<Network::DnsServer> SystemDnsServers() {
  std::vector<Network::DnsServer> servers;
  IpHelperEntries entries{};
  const platform::EntrySlot slots[] = {{"GetNetworkParams", "GetNetworkParams", platform::SlotOf(entries.pGetNetworkParams)}};
  const platform::ScopedModule module(platform::LoadAndBind(L"iphlpapi.dll", slots));
  if (!module) return servers;
  ULONG size = 0;
  entries.pGetNetworkParams(nullptr, &size);
  if (size > 0 && size < (1u << 20)) {
    std::vector<std::uint8_t> buffer(size);
    auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (entries.pGetNetworkParams(info, &size) == ERROR_SUCCESS) {
      std::string first;
      if (info->CurrentDnsServer) first = info->CurrentDnsServer->IpAddress.String;
      if (!first.empty()) servers.push_back({first, 53});
      for (const IP_ADDR_STRING* a = &info->DnsServerList; a; a = a->Next) {
        const std::string address = a->IpAddress.String;
        if (!address.empty() && address != first && address != "0.0.0.0") servers.push_back({address, 53});
      }
    }
  }
  return servers;
}

std::vector<Network::DnsServer> WinsockNetwork::DnsServers() {
  if (dnsServersOverride) return *dnsServersOverride;
  return SystemDnsServers();
}

std::vector<Network::DnsServer> WinsockNetwork::RootServers() {
  if (rootServersOverride) return *rootServersOverride;
  return {{"198.41.0.4", 53}, {"193.0.14.129", 53}};
}

std::optional<std::vector<std::uint8_t>> WinsockNetwork::ExchangeDatagram(const std::vector<DnsServer>& servers,
                                                                          const std::vector<std::uint8_t>& query, int timeoutMs,
                                                                          bool (*accept)(const std::vector<std::uint8_t>&, void*),
                                                                          void* context) {
  SocketHandle s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (s.Get() == INVALID_SOCKET) return std::nullopt;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (bind(s.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return std::nullopt;
  std::size_t sent = 0;
  for (const DnsServer& server : servers) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.port);
    if (!Resolve(server.host, to.sin_addr)) continue;
    if (sendto(s.Get(), reinterpret_cast<const char*>(query.data()), static_cast<int>(query.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(query.size())) {
      ++sent;
    }
  }
  // Every datagram counts as an answer read, forged ones included: a flood cannot hold the
  // thread longer than one wait per server asked.
  for (std::size_t answers = 0; answers < sent; ++answers) {
    if (!WaitReadable(s.Get(), timeoutMs)) break;
    std::vector<std::uint8_t> packet(512);
    const int n = recv(s.Get(), reinterpret_cast<char*>(packet.data()), static_cast<int>(packet.size()), 0);
    if (n == SOCKET_ERROR) {
      // A port-unreachable report from one server must not end the wait for the others.
      if (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAEMSGSIZE) continue;
      break;
    }
    packet.resize(static_cast<std::size_t>(n));
    if (accept(packet, context)) return packet;
  }
  return std::nullopt;
}

std::string WinsockNetwork::ProxySetting() {
  if (proxyOverride) return *proxyOverride;
  WinInetEntries entries{};
  const platform::EntrySlot slots[] = {{"InternetQueryOptionA", "InternetQueryOptionA", platform::SlotOf(entries.pInternetQueryOptionA)}};
  const platform::ScopedModule module(platform::LoadAndBind(L"wininet.dll", slots));
  if (!module) return {};
  std::string proxy;
  DWORD size = 0;
  entries.pInternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size >= sizeof(INTERNET_PROXY_INFO) && size < (1u << 16)) {
    std::vector<std::uint8_t> buffer(size);
    auto* info = reinterpret_cast<INTERNET_PROXY_INFO*>(buffer.data());
    if (entries.pInternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, info, &size) && info->dwAccessType == INTERNET_OPEN_TYPE_PROXY &&
        info->lpszProxy) {
      proxy = reinterpret_cast<const char*>(info->lpszProxy);
    }
  }
  return proxy;
}

bool WinsockNetwork::OpenWebAddress(const std::string& url) {
  if (openedForTest) {
    openedForTest->push_back(url);
    return true;
  }
  return reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, nullptr, url.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

std::string WinsockNetwork::ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "localhost";
  return std::string(name, size);
}

std::uint64_t WinsockNetwork::UtcFileTime() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

std::uint16_t WinsockNetwork::RandomId() {
  // An answer must carry an ID an off-path sender cannot guess: from the system's generator.
  using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
  static const GenRandom genRandom = platform::ProcAddress<GenRandom>(platform::LoadModule(L"advapi32.dll"), "SystemFunction036");
  std::uint16_t id = 0;
  if (genRandom && genRandom(&id, sizeof id)) return id;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<std::uint16_t>(counter.QuadPart ^ (counter.QuadPart >> 16) ^ GetCurrentThreadId());
}

bool ZipFiles(const std::string& archive, const std::vector<std::string>& files, const std::vector<std::string>& names) {
  ZipBuilder zip;
  for (std::size_t i = 0; i < files.size(); ++i) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(files[i].c_str(), GetFileExInfoStandard, &info)) continue;
    std::ifstream in(files[i], std::ios::binary);
    if (!in) continue;
    std::ostringstream data;
    data << in.rdbuf();
    if (!in && !in.eof()) continue;
    ZipEntry e;
    e.name = i < names.size() && !names[i].empty() ? names[i] : files[i].substr(files[i].find_last_of("\\/") + 1);
    e.data = data.str();
    if (e.data.size() != (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow)) continue;
    e.attributes = info.dwFileAttributes;
    FILETIME local;
    WORD date = 0, time = 0;
    if (FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) && FileTimeToDosDateTime(&local, &date, &time)) {
      e.dosDate = date;
      e.dosTime = time;
    }
    if (!zip.Add(e)) continue;
  }
  bool ok = zip.EntryCount() > 0;
  if (ok) {
    const std::string bytes = zip.Finish();
    const platform::ScopedFileHandle f(
        CreateFileA(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ok = f && WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  }
  if (!ok) DeleteFileA(archive.c_str());
  return ok;
}

}  // namespace delivery

namespace delivery {

void ProgressAlertSink::AddArea(std::int64_t weight, const std::string& text) { window_->AddArea(weight, text); }
void ProgressAlertSink::ClearAreas() { window_->ClearAreas(); }
void ProgressAlertSink::AreaDone() {
  window_->AreaDone();
  window_->ProcessMessages();
}
int ProgressAlertSink::CurrentArea() { return window_->GetCurrentArea(); }
void ProgressAlertSink::SetCurrentArea(int value) {
  window_->SetCurrentArea(value);
  window_->ProcessMessages();
}
void ProgressAlertSink::SetPosition(int value) {
  window_->SetPosition(value);
  window_->ProcessMessages();
}

}  // namespace delivery
