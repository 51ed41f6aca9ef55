#pragma once
// The test image of KorbFunctions.asm and a second module that exports one routine, as the
// analyser tests and the disassembly golden files see them.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "report/KorbDisAsm.h"

namespace report::test {

// Function order of the table at the start of KorbFunctions.asm.
enum Fn {
  kStraight,
  kShortJump,
  kCallNext,
  kTableJa,
  kTableJae,
  kLoop,
  kFarJump,
  kStubCall,
  kAnyExcept,
  kOnExcept,
  kFrame,
  kGapFill,
  kJumpLoop,
  kLongFn,
  kComments,
  kNoReturn,
  kRtAny,
  kRtOn,
  kStubSleep,
  kTailTarget,
  kThunk,
  kThrowing,
  kFnCount
};

inline constexpr Addr kImageBase = 0x00401000;
inline constexpr Addr kSystemBase = 0x7b000000;
inline constexpr Addr kSleep = 0x7b001000;

inline std::string Hex8(Addr a) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08x", a);
  return buffer;
}

// The program image and a system module, side by side in one address space.
class TwoModules : public CodeMemory {
 public:
  TwoModules() : program_(kImageBase, LoadImage()), system_(kSystemBase, SystemBytes()) {
    program_.SetModule("Kelvane.exe", program_.Base(), program_.End(), true);
    system_.SetModule("kernel32.dll", system_.Base(), system_.End(), false);
    system_.AddExport(kSleep, "Sleep");
  }
  Addr Function(Fn f) const {
    const auto& b = program_.Bytes();
    const std::size_t at = static_cast<std::size_t>(f) * 4;
    return static_cast<Addr>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<Addr>(b[at + 3]) << 24;
  }
  MemoryImage& Program() { return program_; }

  std::size_t Read(Addr a, void* d, std::size_t n) const override {
    const std::size_t got = program_.Read(a, d, n);
    return got ? got : system_.Read(a, d, n);
  }
  bool ModuleAt(Addr a, ModuleInfo& m) const override { return program_.ModuleAt(a, m) || system_.ModuleAt(a, m); }
  bool RegionAt(Addr a, Addr& b, Addr& e) const override { return program_.RegionAt(a, b, e) || system_.RegionAt(a, b, e); }
  std::string ExportName(Addr a) const override {
    const std::string n = program_.ExportName(a);
    return n.empty() ? system_.ExportName(a) : n;
  }

 private:
  static std::vector<std::uint8_t> LoadImage() {
    std::ifstream in(KORB_FUNCTIONS_BIN, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < kFnCount * 4) ADD_FAILURE() << "test image missing: " << KORB_FUNCTIONS_BIN;
    bytes.resize(std::max<std::size_t>(bytes.size(), kFnCount * 4));
    return bytes;
  }
  static std::vector<std::uint8_t> SystemBytes() {
    std::vector<std::uint8_t> b(0x2000, 0xCC);
    b[kSleep - kSystemBase] = 0xC3;
    return b;
  }

  MemoryImage program_;
  MemoryImage system_;
};

// Debug information stand-in: routine names by start address, lines by address ranges.
class FakeNames : public DebugNames {
 public:
  void Name(Addr a, std::string n) { names_[a] = std::move(n); }
  void Line(Addr from, int line) { lines_[from] = line; }
  std::string ProcNameOfAddress(Addr a) const override {
    const auto it = names_.find(a);
    return it == names_.end() ? std::string() : it->second;
  }
  int LineOfAddress(Addr a) const override {
    auto it = lines_.upper_bound(a);
    if (it == lines_.begin()) return 0;
    return std::prev(it)->second;
  }

 private:
  std::map<Addr, std::string> names_;
  std::map<Addr, int> lines_;
};

}  // namespace report::test
