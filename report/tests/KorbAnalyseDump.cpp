// Maps a PE image at its image base and analyses the functions whose entry addresses come on
// standard input (hexadecimal, one a line). Writes one line per entry:
//   ENTRY VALID CODEBEGIN CODELEN AREAS UNKNOWNJUMPS
// for KorbProductFunctions.py, which checks the analyses against the program's symbols.
//
//   KorbAnalyseDump PE-FILE [NORETURN-ADDRESS...] < entries

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "report/KorbDisAsm.h"

namespace {

std::uint32_t U32(const std::vector<std::uint8_t>& d, std::size_t at) {
  std::uint32_t v = 0;
  if (at + 4 <= d.size()) std::memcpy(&v, d.data() + at, 4);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: KorbAnalyseDump PE-FILE [NORETURN-ADDRESS...] < entries\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t pe = U32(file, 0x3C);
  const unsigned sections = file.at(pe + 6) | file.at(pe + 7) << 8;
  const unsigned optional = file.at(pe + 20) | file.at(pe + 21) << 8;
  const report::Addr imageBase = U32(file, pe + 24 + 28);
  const std::uint32_t sizeOfImage = U32(file, pe + 24 + 56);
  const std::uint32_t sizeOfHeaders = U32(file, pe + 24 + 60);
  std::vector<std::uint8_t> image(sizeOfImage, 0);
  std::memcpy(image.data(), file.data(), std::min<std::size_t>(sizeOfHeaders, file.size()));
  for (unsigned i = 0; i < sections; ++i) {
    const std::size_t s = pe + 24 + optional + 40 * i;
    const std::uint32_t rva = U32(file, s + 12), rawSize = U32(file, s + 16), raw = U32(file, s + 20);
    const std::size_t n = std::min<std::size_t>({rawSize, file.size() - std::min<std::size_t>(raw, file.size()), image.size() - rva});
    std::memcpy(image.data() + rva, file.data() + raw, n);
  }
  report::MemoryImage memory(imageBase, std::move(image));
  report::ModuleInfo module;
  if (!report::ModuleRangeFromHeaders(memory, imageBase, module)) {
    std::fprintf(stderr, "%s: no image headers\n", argv[1]);
    return 2;
  }
  memory.SetModule("Kelvane.exe", module.rangeBegin, module.rangeEnd, true);

  report::RuntimeRoutines routines;
  for (int i = 2; i < argc; ++i) routines.NoReturn.push_back(static_cast<report::Addr>(std::stoul(argv[i], nullptr, 16)));
  std::string line;
  while (std::getline(std::cin, line)) {
    const report::Addr entry = static_cast<report::Addr>(std::stoul(line, nullptr, 16));
    const report::TFunctionInfo fi = report::AnalyseFunction(memory, entry, routines);
    int unknownJumps = 0;
    for (const report::TUnknownTarget& u : fi.UnknownTargets) unknownJumps += u.Call ? 0 : 1;
    std::printf("%08x %d %08x %u %zu %d\n", entry, fi.IsValid ? 1 : 0, fi.CodeBegin, fi.CodeLen, fi.CodeAreas.size(), unknownJumps);
  }
  return 0;
}
