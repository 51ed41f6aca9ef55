// kestrum_settings SOURCE OUTPUT: turns a readable settings file (Key = value lines) into the
// binary settings stream that the crash-report component loads from the TKESTRUM resource.
// Runs on the build machine, also in the cross build, so it uses nothing but the C++ library.
#include "crash/settings/KestrumResource.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: kestrum_settings SOURCE OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << argv[1] << ": cannot be read\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::uint8_t> bytes;
  try {
    bytes = kestrum::WriteSettingsResource(kestrum::ParseSettingsText(text.str()));
  } catch (const std::invalid_argument& e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  // Written beside the target first, so that a failed write never leaves a half file behind.
  const std::string temp = std::string(argv[2]) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << temp << ": cannot be written\n";
      return 1;
    }
  }
  if (std::rename(temp.c_str(), argv[2]) != 0) {
    std::cerr << argv[2] << ": cannot be replaced\n";
    return 1;
  }
  return 0;
}
