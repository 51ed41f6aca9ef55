// kestrum_settings SOURCE OUTPUT: turns a readable settings file (Key = value lines) into the
// binary settings stream that the crash-report component loads from the TKESTRUM resource.
// Runs on the build machine, also in the cross build, so it uses nothing but the C++ library.
#include "crash/settings/KestrumResource.h"
#include "tools/KestrumToolFiles.h"

#include <iostream>
#include <stdexcept>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: kestrum_settings SOURCE OUTPUT\n";
    return 2;
  }
  std::string text;
  if (!kestrum::ReadToolSource(argv[1], text)) return 1;
  std::vector<std::uint8_t> bytes;
  try {
    bytes = kestrum::WriteSettingsResource(kestrum::ParseSettingsText(text));
  } catch (const std::invalid_argument& e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  return kestrum::WriteToolOutput(argv[2], bytes) ? 0 : 1;
}
