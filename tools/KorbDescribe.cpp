// Looks up addresses of a program in the debug-information container it carries, for people and
// scripts, without running the program.
//
//   KorbDescribe <program.exe> [ADDRESS...]
//
// Each ADDRESS is hexadecimal, absolute in the image loaded at its preferred base (as a bug report
// prints it); without any, addresses are read from standard input, separated by blanks or lines.
// One line per address, fields separated by tabs:
//
//   ADDRESS  MODULE  UNIT  FUNCTION  LINE  FUNCTION-START
//
// An unknown unit or function is "?", an unknown line and function start 0. The exit code is 2 when the program has no
// usable debug information, 1 on bad arguments.
#include <cstdio>
#include <iostream>
#include <string>

#include "report/KestrumPeFile.h"
#include "report/KorbMapFile.h"

namespace {

bool ParseAddress(const std::string& text, std::uint32_t& address) {
  std::size_t used = 0;
  try {
    const unsigned long long value = std::stoull(text, &used, 16);
    if (used != text.size() || value > 0xFFFFFFFFull) return false;
    address = static_cast<std::uint32_t>(value);
    return true;
  } catch (const std::exception&) { return false; }
}

void Describe(const TMapFile& map, const std::string& module, std::uint32_t address) {
  const TMfSegment segment = map.FindSegment(true, address);
  const TMfPublic item = map.FindPublic(address);
  std::int32_t line = map.FindLine(address);
  if (line < 0) line = 0;
  std::printf("%08X\t%s\t%s\t%s\t%d\t%08X\n", address, module.c_str(),
              segment.IsValid && !segment.Unit_.empty() ? segment.Unit_.c_str() : "?",
              item.IsValid && !item.Name.empty() ? item.Name.c_str() : "?", line, item.IsValid ? item.Address : 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: KorbDescribe <program.exe> [ADDRESS...]\n";
    return 1;
  }
  const std::string program = argv[1];
  std::string file;
  if (!report::ReadWholeFile(program, file)) {
    std::cerr << "KorbDescribe: cannot read " << program << "\n";
    return 1;
  }
  auto image = report::LayOutImage(file);
  if (!image) {
    std::cerr << "KorbDescribe: " << program << " is no 32-bit PE image\n";
    return 1;
  }
  const auto layout = report::ReadImageLayout(std::span(reinterpret_cast<const std::uint8_t*>(image->data()), image->size()));
  report::ImageFileSource source(std::move(*image));
  const TMapFile map(true, program, layout->imageBase, false, false, source);
  if (!map.IsValid()) {
    std::cerr << "KorbDescribe: " << program << " carries no debug information\n";
    return 2;
  }
  const std::size_t slash = program.find_last_of("/\\");
  const std::string module = slash == std::string::npos ? program : program.substr(slash + 1);

  const auto one = [&](const std::string& text) {
    std::uint32_t address = 0;
    if (!ParseAddress(text, address)) {
      std::cerr << "KorbDescribe: not a hexadecimal address: " << text << "\n";
      return false;
    }
    Describe(map, module, address);
    return true;
  };
  bool ok = true;
  if (argc > 2) {
    for (int i = 2; i < argc; ++i) ok = one(argv[i]) && ok;
  } else {
    std::string text;
    while (std::cin >> text) ok = one(text) && ok;
  }
  return ok ? 0 : 1;
}
