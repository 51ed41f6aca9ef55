// Files of the build-time resource tools: the readable source in, the binary stream out. The
// output is written beside the target first, so that a failed write never leaves a half file that
// the next build would take for done.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrum {

inline bool ReadToolSource(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << path << ": cannot be read\n";
    return false;
  }
  std::stringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

inline bool WriteToolOutput(const char* path, const std::vector<std::uint8_t>& bytes) {
  const std::string temp = std::string(path) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << temp << ": cannot be written\n";
      return false;
    }
  }
  if (std::rename(temp.c_str(), path) != 0) {
    std::cerr << path << ": cannot be replaced\n";
    return false;
  }
  return true;
}

}  // namespace kestrum
