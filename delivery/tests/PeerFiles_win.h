// What the Windows tests against the loopback peers (started by peers.py with-peers) share: the
// peers' ports and folder from the environment, and whole files.
#pragma once

// Winsock's header before the window system's.
#include <winsock2.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace delivery::testing {

inline std::uint16_t PortOf(const char* name) {
  const char* v = std::getenv(name);
  return static_cast<std::uint16_t>(v ? std::atoi(v) : 0);
}

// A path in the peers' folder as Linux sees it, and as Wine shows it (drive Z: is the root).
inline std::string PeerLinux(const std::string& sub) {
  const char* dir = std::getenv("KELVANE_PEER_DIR");
  return std::string(dir ? dir : "") + "/" + sub;
}

inline std::string PeerWindows(const std::string& sub) {
  std::string path = "Z:" + PeerLinux(sub);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// A socket listening on a free loopback port (into port) from which nobody accepts: the system
// completes up to backlog connections by itself and then drops further requests.
// INVALID_SOCKET when that cannot be made.
inline SOCKET ListenOnLoopback(int backlog, std::uint16_t& port) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = inet_addr("127.0.0.1");
  int size = sizeof at;
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      listen(listener, backlog) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    if (listener != INVALID_SOCKET) closesocket(listener);
    return INVALID_SOCKET;
  }
  port = ntohs(at.sin_port);
  return listener;
}

}  // namespace delivery::testing
