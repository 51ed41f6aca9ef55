// Decoding and disassembly text speed of KorbDisAsm against capstone on the same bytes in the
// same run (bench/disasm.sh builds and runs it natively, optimised, without sanitizers).
//
//   KorbDisAsmBench PE-FILE [SECONDS]
//
// 1. Instructions decoded per second in a linear sweep over the file's code section: ours against
//    capstone without detail (goal: at least 3 times).
// 2. Disassembly text: GetCleartextDisAsm over the functions that the code's calls lead to, in
//    instruction lines per second, against capstone with detail and text over the same functions'
//    bytes (goal: at least as fast).

#include <capstone/capstone.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "report/KorbDisAsm.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Code {
  std::vector<std::uint8_t> bytes;
  std::uint32_t base = 0;
};

std::uint32_t U32(const std::vector<std::uint8_t>& d, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, d.data() + at, 4);
  return v;
}

Code CodeSection(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (d.size() < 0x200) {
    std::fprintf(stderr, "%s: cannot read\n", path);
    std::exit(2);
  }
  const std::size_t pe = U32(d, 0x3C);
  const unsigned sections = d[pe + 6] | d[pe + 7] << 8;
  const unsigned optional = d[pe + 20] | d[pe + 21] << 8;
  const std::uint32_t imageBase = U32(d, pe + 24 + 28);
  for (unsigned i = 0; i < sections; ++i) {
    const std::size_t s = pe + 24 + optional + 40 * i;
    if (U32(d, s + 36) & 0x20) {
      const std::uint32_t size = std::min(U32(d, s + 8), U32(d, s + 16));
      const std::uint32_t raw = U32(d, s + 20);
      return Code{std::vector<std::uint8_t>(d.begin() + raw, d.begin() + raw + size), imageBase + U32(d, s + 12)};
    }
  }
  std::fprintf(stderr, "%s: no code section\n", path);
  std::exit(2);
}

template <class F>
double PerSecond(double seconds, F round) {
  std::uint64_t units = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    units += round();
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(units) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: KorbDisAsmBench PE-FILE [SECONDS]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  const Code code = CodeSection(argv[1]);
  report::MemoryImage image(code.base, code.bytes);
  image.SetModule("bench.dll", image.Base(), image.End(), false);

  const double ours = PerSecond(seconds, [&] {
    std::uint64_t n = 0;
    for (report::Addr a = image.Base(); a < image.End(); ++n) {
      const report::TDecodedInstruction d = report::DecodeInstruction(image, a);
      a = d.Valid ? d.Following : a + 1;
    }
    return n;
  });

  csh cs;
  cs_open(CS_ARCH_X86, CS_MODE_32, &cs);
  cs_insn* insn = cs_malloc(cs);
  auto sweep = [&](const std::uint8_t* bytes, std::size_t size, std::uint64_t address) {
    std::uint64_t n = 0;
    const std::uint8_t* p = bytes;
    std::size_t left = size;
    std::uint64_t at = address;
    while (left > 0) {
      if (cs_disasm_iter(cs, &p, &left, &at, insn)) {
        ++n;
      } else {
        ++p, --left, ++at;
      }
    }
    return n;
  };
  cs_option(cs, CS_OPT_DETAIL, CS_OPT_OFF);
  const double capstone = PerSecond(seconds, [&] { return sweep(code.bytes.data(), code.bytes.size(), code.base); });
  std::printf("decoding: %.2f M instructions/s, capstone without detail %.2f M/s: %.2f times\n", ours / 1e6, capstone / 1e6,
              ours / capstone);

  // Functions: the targets of the code's direct calls.
  std::set<report::Addr> starts;
  for (report::Addr a = image.Base(); a < image.End();) {
    const report::TDecodedInstruction d = report::DecodeInstruction(image, a);
    if (d.Valid && d.Call && d.Target >= image.Base() && d.Target < image.End()) starts.insert(d.Target);
    a = d.Valid ? d.Following : a + 1;
  }
  struct Range {
    report::Addr entry, begin;
    std::uint32_t length;
  };
  std::vector<Range> functions;
  for (report::Addr s : starts) {
    const report::TFunctionInfo fi = report::AnalyseFunction(image, s);
    if (fi.IsValid && fi.CodeLen < 64 * 1024) functions.push_back({s, fi.CodeBegin, fi.CodeLen});
    if (functions.size() >= 2000) break;
  }
  std::uint64_t textBytes = 0;
  const double ourLines = PerSecond(seconds, [&] {
    std::uint64_t lines = 0;
    report::TFunctionInfo info;
    for (const Range& f : functions) {
      const std::string text = report::GetCleartextDisAsm(image, nullptr, f.entry, f.entry, true, 0, info);
      textBytes += text.size();
      for (char c : text) lines += c == '\n';
    }
    return lines;
  });
  cs_option(cs, CS_OPT_DETAIL, CS_OPT_ON);
  cs_free(insn, 1);
  insn = cs_malloc(cs);  // with room for the detail now
  const double capstoneLines = PerSecond(seconds, [&] {
    std::uint64_t n = 0;
    for (const Range& f : functions) {
      char line[160];
      const std::uint8_t* p = code.bytes.data() + (f.begin - code.base);
      std::size_t left = f.length;
      std::uint64_t at = f.begin;
      while (left > 0) {
        if (cs_disasm_iter(cs, &p, &left, &at, insn)) {
          std::snprintf(line, sizeof line, "%08llx   %s %s", static_cast<unsigned long long>(insn->address), insn->mnemonic, insn->op_str);
          textBytes += std::strlen(line);
          ++n;
        } else {
          ++p, --left, ++at;
        }
      }
    }
    return n;
  });
  std::printf("text: %zu functions, %.2f M lines/s (analysis included), capstone with detail and text %.2f M lines/s: %.2f times\n",
              functions.size(), ourLines / 1e6, capstoneLines / 1e6, ourLines / capstoneLines);
  cs_free(insn, 1);
  cs_close(&cs);
  return textBytes == 0;
}
