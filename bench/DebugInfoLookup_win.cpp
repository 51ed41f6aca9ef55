// Lookups in a program's embedded debug-information container, in-process: the program is loaded
// as an image (not run), its container read at the first lookup, then every address of a list is
// named (function and line), once through the cache (DescribeAddress, as a report does) and once
// on the loaded tables alone.
//
//   DebugInfoLookup.exe PROGRAM ADDRESSES
//
// ADDRESSES holds hexadecimal addresses at the program's preferred base, one a line. Prints
// "load_us N", "describe_per_s N", "tables_per_s N" and "named N" (addresses with a function).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "report/KorbMapFile_win.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: DebugInfoLookup PROGRAM ADDRESSES\n");
    return 1;
  }
  const HMODULE module = LoadLibraryExA(argv[1], nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (!module) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const std::uint8_t*>(module) + dos->e_lfanew);
  const std::uintptr_t preferred = nt->OptionalHeader.ImageBase;
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(module);

  std::vector<const void*> addresses;
  std::ifstream list(argv[2]);
  for (std::string text; list >> text;)
    addresses.push_back(reinterpret_cast<const void*>(std::stoul(text, nullptr, 16) - preferred + base));
  if (addresses.empty()) return 1;

  auto start = std::chrono::steady_clock::now();
  const auto map = DebugInfoForAddress(addresses[0]);
  const double load = Seconds(start);
  if (!map->IsValid()) {
    std::fprintf(stderr, "%s carries no debug information\n", argv[1]);
    return 2;
  }

  std::string moduleFile, unit, name;
  std::int32_t line = 0;
  std::uint32_t publicAddress = 0;
  std::size_t named = 0;
  start = std::chrono::steady_clock::now();
  for (const void* address : addresses) {
    if (DescribeAddress(address, moduleFile, unit, line, publicAddress, name) && !name.empty()) ++named;
  }
  const double describe = Seconds(start);

  // The tables alone, several rounds so that the clock resolves them.
  constexpr int kRounds = 20;
  std::size_t checksum = 0;
  start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    for (const void* address : addresses) {
      const std::uint32_t at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
      checksum += map->FindPublic(at).Name.size() + static_cast<std::size_t>(map->FindLine(at));
    }
  }
  const double tables = Seconds(start);

  std::printf("load_us %.0f\ndescribe_per_s %.0f\ntables_per_s %.0f\nnamed %zu\nchecksum %zu\n", load * 1e6, addresses.size() / describe,
              kRounds * addresses.size() / tables, named, checksum);
  return 0;
}
