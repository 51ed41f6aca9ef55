// The build step that gives a program its debug-information container: reads the linked,
// unstripped program, its linker map and the binutils' views of its symbols and DWARF line table,
// and writes the container that the second link embeds as resource "EXCEPT" of type "KORB".
//
//   kestrum_debug_info <program.exe> <linker map> <container out> <nm> <objdump>
//
// Segments: one per compilation unit's run of code in the map (input sections .text*), named as
// the component names units (file name without folder, extensions and "_win"). Publics: the code
// symbols, demangled, "::" written as ".", at most 255 characters. Lines: the DWARF line table, one
// entry per address (the last row at an address wins, as the line readers of binutils take it),
// a 0 entry where a sequence ends, only inside a segment. All addresses relative to the base of code.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "report/KestrumPeFile.h"
#include "report/KorbDemangle.h"
#include "report/KorbMapFile.h"

namespace {

struct Range {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::string unit;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "kestrum_debug_info: " << message << "\n";
  std::exit(1);
}

std::string Run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) Fail("cannot run " + command);
  std::string out;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  if (pclose(pipe.release()) != 0) Fail(command + " failed");
  return out;
}

std::string Quoted(const std::string& text) { return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'"; }

// "app/libapp.a(uMain_win.cpp.obj)" and ".../crt2.o" give "uMain" and "crt2".
std::string UnitOfObject(std::string object) {
  if (!object.empty() && object.back() == ')') {
    const std::size_t open = object.rfind('(');
    if (open != std::string::npos) object = object.substr(open + 1, object.size() - open - 2);
  }
  const std::size_t slash = object.find_last_of("/\\");
  if (slash != std::string::npos) object.erase(0, slash + 1);
  const std::size_t dot = object.find('.');
  if (dot != std::string::npos && dot > 0) object.erase(dot);
  if (object.size() > 4 && object.compare(object.size() - 4, 4, "_win") == 0) object.resize(object.size() - 4);
  return object;
}

// The code contributions of the map's memory map, in address order, runs of one unit joined.
std::vector<Range> SegmentsFromMap(const std::string& map, std::uint32_t base, std::uint32_t top) {
  std::istringstream in(map);
  std::string line;
  while (std::getline(in, line) && line.rfind("Linker script and memory map", 0) != 0) {}
  static const std::regex kSameLine(R"(^ (\.text\S*)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(.+)$)");
  static const std::regex kNameOnly(R"(^ (\.text\S*)\s*$)");
  static const std::regex kContinued(R"(^\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(.+)$)");
  std::vector<Range> pieces;
  bool pendingName = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch m;
    std::string address, size, object;
    if (std::regex_match(line, m, kSameLine)) {
      address = m[2], size = m[3], object = m[4];
    } else if (std::regex_match(line, kNameOnly)) {
      pendingName = true;
      continue;
    } else if (pendingName && std::regex_match(line, m, kContinued)) {
      address = m[1], size = m[2], object = m[3];
    } else {
      pendingName = false;
      continue;
    }
    pendingName = false;
    const std::uint32_t start = static_cast<std::uint32_t>(std::stoul(address, nullptr, 16));
    const std::uint32_t length = static_cast<std::uint32_t>(std::stoul(size, nullptr, 16));
    if (length == 0 || start < base || start >= top) continue;
    pieces.push_back({start, std::min(length, top - start), UnitOfObject(object)});
  }
  std::stable_sort(pieces.begin(), pieces.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
  std::vector<Range> joined;
  for (const Range& piece : pieces) {
    // Alignment padding between two pieces of one unit belongs to it.
    if (!joined.empty() && joined.back().unit == piece.unit && piece.start - (joined.back().start + joined.back().length) < 16) {
      joined.back().length = std::max(joined.back().length, piece.start + piece.length - joined.back().start);
      continue;
    }
    if (!joined.empty() && piece.start < joined.back().start + joined.back().length) {
      joined.back().length = piece.start - joined.back().start;  // overlaps do not occur in a linked program; keep the table sorted anyway
    }
    joined.push_back(piece);
  }
  return joined;
}

std::string DemangledName(std::string symbol) {
  // i686 C symbols carry one leading underscore; stdcall ones a "@bytes" suffix.
  if (!symbol.empty() && symbol[0] == '_') symbol.erase(0, 1);
  const std::size_t at = symbol.rfind('@');
  if (at != std::string::npos && at > 0 && at + 1 < symbol.size() && symbol.find_first_not_of("0123456789", at + 1) == std::string::npos)
    symbol.erase(at);
  if (symbol.rfind("_Z", 0) == 0) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
    if (status == 0 && demangled) symbol = demangled.get();
  }
  // Copies the optimiser made of a function are named as the function ("f.isra.0", "f() [clone .part.0]").
  static const std::regex kClone(R"((\.(isra|part|constprop|cold|localalias|lto_priv)\.\d+)+$| \[clone [^\]]*\]$)");
  for (std::string plain; (plain = std::regex_replace(symbol, kClone, "")) != symbol;) symbol = plain;
  std::string unit;
  Demangle(symbol, unit);  // "::" as "."
  if (symbol.size() > 255) symbol.resize(255);
  return symbol;
}

bool Inside(const std::vector<Range>& segments, std::uint32_t address) {
  const auto after =
      std::upper_bound(segments.begin(), segments.end(), address, [](std::uint32_t a, const Range& r) { return a < r.start; });
  return after != segments.begin() && address - after[-1].start < after[-1].length;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) Fail("usage: kestrum_debug_info <program.exe> <linker map> <container out> <nm> <objdump>");
  const std::string program = argv[1], mapFile = argv[2], output = argv[3], nm = argv[4], objdump = argv[5];

  std::string file, map;
  if (!report::ReadWholeFile(program, file)) Fail("cannot read " + program);
  if (!report::ReadWholeFile(mapFile, map)) Fail("cannot read " + mapFile);
  const auto layout = report::ReadImageLayout(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
  if (!layout) Fail(program + " is no 32-bit PE image");
  const std::uint32_t base = layout->imageBase + layout->baseOfCode;
  const std::uint32_t top = layout->imageBase + layout->topOfCode;

  const std::vector<Range> segments = SegmentsFromMap(map, base, top);
  if (segments.empty()) Fail(mapFile + " lists no code");
  auto tables = TMapFile::ForBuilding(true);
  for (const Range& s : segments) tables->AddSegment(true, true, s.start - base, s.unit, s.length, TMapFile::SegmentAdd::plain);
  tables->SortSegments();

  // Publics: "ADDRESS TYPE NAME", code symbols only, one name per address (aliases such as the
  // complete and base constructors demangle alike).
  std::map<std::uint32_t, std::string> publics;
  {
    std::istringstream in(Run(Quoted(nm) + " " + Quoted(program)));
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 12 || line[8] != ' ' || line[10] != ' ' || (line[9] != 'T' && line[9] != 't')) continue;
      const std::string name = line.substr(11);
      if (name.empty() || name[0] == '.') continue;
      const std::uint32_t address = static_cast<std::uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16));
      if (address < base || address >= top) continue;
      publics.emplace(address, DemangledName(name));
    }
  }
  for (const auto& [address, name] : publics) tables->AddPublicAsIs(true, name, address - base);

  // Lines: the decoded line table, "FILE LINE ADDRESS [VIEW] [x]", "-" as the line where a sequence ends.
  std::map<std::uint32_t, std::int32_t> lines;
  std::map<std::uint32_t, bool> realRow;
  {
    std::istringstream in(Run(Quoted(objdump) + " --dwarf=decodedline " + Quoted(program)));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string fileName, number, address;
      if (!(fields >> fileName >> number >> address) || address.rfind("0x", 0) != 0) continue;
      const std::uint32_t at = static_cast<std::uint32_t>(std::stoul(address, nullptr, 16));
      if (at < base || at >= top || !Inside(segments, at)) continue;
      if (number == "-") {
        if (!realRow[at]) lines[at] = 0;
      } else if (number.find_first_not_of("0123456789") == std::string::npos) {
        lines[at] = static_cast<std::int32_t>(std::stol(number));
        realRow[at] = true;
      }
    }
  }
  for (const auto& [address, line] : lines) tables->AddLine(line, address - base, false);
  tables->SetEntryPoint(layout->entryPoint - layout->baseOfCode);

  const std::string container = tables->Export(true, false, false);
  if (container.empty()) Fail("the tables could not be compressed");
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out.write(container.data(), static_cast<std::streamsize>(container.size()));
  if (!out) Fail("cannot write " + output);
  std::cout << "kestrum_debug_info: " << segments.size() << " segments, " << publics.size() << " publics, " << lines.size() << " lines, "
            << container.size() << " bytes\n";
  return 0;
}
