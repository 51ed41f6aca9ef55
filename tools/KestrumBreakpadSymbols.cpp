// Writes a Breakpad text symbol file of a program from the debug-information container it carries,
// laid out as a symbol store expects it, so that stack walkers and crash servers name the frames
// of our programs' minidumps:
//
//   KestrumBreakpadSymbols <program.exe> <store folder>
//
// writes <store>/<name>/<id>/<name>.sym, where <name> and <id> are those of the program's CodeView
// record (the name is the program's file name when the record names none, as the minidump does)
// and prints the file's path. Units are the FILE records, functions with lines FUNC records with
// their lines, functions without lines PUBLIC records. Exit code 2: no container or no build
// identity; 1: bad arguments or a file that cannot be written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "report/KestrumPeFile.h"
#include "report/KorbMapFile.h"

namespace {

struct Identity {
  std::string id;    // GUID fields and age in hexadecimal, as symbol stores name the folder
  std::string name;  // the debug file's name
};

// The CodeView record of the laid-out image's debug directory.
bool IdentityOf(const std::string& image, const report::ImageLayout& layout, const std::string& fileName, Identity& out) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data());
  for (std::uint64_t at = layout.debugDirectory; at + 28 <= std::uint64_t{layout.debugDirectory} + layout.debugDirectorySize; at += 28) {
    if (at + 28 > image.size() || platform::LoadLe32(bytes + at + 12) != 2) continue;
    const std::uint64_t size = platform::LoadLe32(bytes + at + 16), rva = platform::LoadLe32(bytes + at + 20);
    if (size < 24 || rva + size > image.size() || image.compare(rva, 4, "RSDS") != 0) continue;
    const std::uint8_t* cv = bytes + rva;
    char id[48];
    std::snprintf(id, sizeof id, "%08X%04X%04X", platform::LoadLe32(cv + 4), platform::LoadLe16(cv + 8), platform::LoadLe16(cv + 10));
    out.id = id;
    for (int i = 12; i < 20; ++i) {
      std::snprintf(id, sizeof id, "%02X", cv[i]);
      out.id += id;
    }
    std::snprintf(id, sizeof id, "%X", platform::LoadLe32(cv + 20));
    out.id += id;
    out.name.assign(reinterpret_cast<const char*>(cv + 24), ::strnlen(reinterpret_cast<const char*>(cv + 24), size - 24));
    if (out.name.empty()) out.name = fileName;
    return true;
  }
  return false;
}

std::string SymbolFile(const TMapFile& map, const Identity& identity, std::uint32_t imageBase) {
  std::string out = "MODULE windows x86 " + identity.id + " " + identity.name + "\n";
  // Units in order of first appearance: a FILE record each.
  std::map<std::string, int> files;
  for (int i = 0; i < map.SegmentCount(); ++i) {
    const TMfSegment s = map.FindSegment(i);
    if (s.IsValid && s.Code && !s.Unit_.empty() && files.emplace(s.Unit_, static_cast<int>(files.size())).second) {
      out += "FILE " + std::to_string(files[s.Unit_]) + " " + s.Unit_ + "\n";
    }
  }
  std::vector<TMfPublic> functions;
  for (int i = 0; i < map.PublicCount(); ++i) {
    const TMfPublic p = map.FindPublic(i);
    if (p.IsValid && p.Code && p.Address >= imageBase && p.Address < map.TopOfCode() + imageBase) functions.push_back(p);
  }
  std::sort(functions.begin(), functions.end(), [](const TMfPublic& a, const TMfPublic& b) { return a.Address < b.Address; });
  functions.erase(
      std::unique(functions.begin(), functions.end(), [](const TMfPublic& a, const TMfPublic& b) { return a.Address == b.Address; }),
      functions.end());
  std::vector<TMfLine> lines;
  for (int i = 0; i < map.LineCount(); ++i) lines.push_back(map.LineAt(i));
  std::sort(lines.begin(), lines.end(), [](const TMfLine& a, const TMfLine& b) { return a.Address < b.Address; });

  char text[64];
  std::size_t line = 0;
  for (std::size_t f = 0; f < functions.size(); ++f) {
    const std::uint32_t start = functions[f].Address;
    // A function ends where the next begins or its unit's segment does.
    const TMfSegment segment = map.FindSegment(true, start);
    std::uint32_t end = f + 1 < functions.size() ? functions[f + 1].Address : map.TopOfCode() + imageBase;
    if (segment.IsValid) end = std::min(end, segment.StartAddress + segment.Length);
    if (end <= start) end = start + 1;
    while (line < lines.size() && lines[line].Address < start) ++line;
    std::size_t last = line;
    while (last < lines.size() && lines[last].Address < end) ++last;
    const auto file = segment.IsValid ? files.find(segment.Unit_) : files.end();
    if (last == line || file == files.end()) {
      std::snprintf(text, sizeof text, "PUBLIC %x 0 ", start - imageBase);
      out += text + functions[f].Name + "\n";
      continue;
    }
    std::snprintf(text, sizeof text, "FUNC %x %x 0 ", start - imageBase, end - start);
    out += text + functions[f].Name + "\n";
    for (std::size_t k = line; k < last; ++k) {
      const std::uint32_t next = k + 1 < last ? lines[k + 1].Address : end;
      // Two lines at one address: the last one holds. Line 0 (code without a source line) has
      // no record: a reader would show it as line 0.
      if (next <= lines[k].Address || lines[k].Line <= 0) continue;
      std::snprintf(text, sizeof text, "%x %x %d %d\n", lines[k].Address - imageBase, next - lines[k].Address, lines[k].Line, file->second);
      out += text;
    }
    line = last;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: KestrumBreakpadSymbols <program.exe> <store folder>\n";
    return 1;
  }
  const std::string program = argv[1];
  std::string file;
  if (!report::ReadWholeFile(program, file)) {
    std::cerr << "KestrumBreakpadSymbols: cannot read " << program << "\n";
    return 1;
  }
  auto image = report::LayOutImage(file);
  const auto layout =
      image ? report::ReadImageLayout(std::span(reinterpret_cast<const std::uint8_t*>(image->data()), image->size())) : std::nullopt;
  if (!layout) {
    std::cerr << "KestrumBreakpadSymbols: " << program << " is no 32-bit PE image\n";
    return 1;
  }
  const std::string fileName = std::filesystem::path(program).filename().string();
  Identity identity;
  if (!IdentityOf(*image, *layout, fileName, identity)) {
    std::cerr << "KestrumBreakpadSymbols: " << program << " has no CodeView record (link with --build-id)\n";
    return 2;
  }
  report::ImageFileSource source(std::move(*image));
  const TMapFile map(true, program, layout->imageBase, false, true, source);
  if (!map.IsValid()) {
    std::cerr << "KestrumBreakpadSymbols: " << program << " carries no debug information\n";
    return 2;
  }
  std::string stem = identity.name;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".pdb") == 0) stem.resize(stem.size() - 4);
  const std::filesystem::path folder = std::filesystem::path(argv[2]) / identity.name / identity.id;
  const std::filesystem::path target = folder / (stem + ".sym");
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::ofstream out(target, std::ios::binary);
  out << SymbolFile(map, identity, layout->imageBase);
  if (!out.flush()) {
    std::cerr << "KestrumBreakpadSymbols: cannot write " << target << "\n";
    return 1;
  }
  std::cout << target.string() << "\n";
  return 0;
}
