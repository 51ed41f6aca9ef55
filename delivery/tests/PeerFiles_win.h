// What the Windows tests against the loopback peers (started by peers.py with-peers) share: the
// peers' ports and folder from the environment, and whole files.
#pragma once

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

}  // namespace delivery::testing
