// The analyser and the disassembly text on arbitrary bytes mapped at an arbitrary base.
//
// Input: base (4 bytes), entry offset (2 bytes), options (1 byte: formatted, limit, module or
// plain region, runtime routines), then the code bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "report/KorbDisAsm.h"

namespace {

class Names : public report::DebugNames {
 public:
  std::string ProcNameOfAddress(report::Addr a) const override { return (a & 0x3F) == 0 ? "uFuzz.Routine" : ""; }
  int LineOfAddress(report::Addr a) const override { return static_cast<int>((a >> 3) & 0x3FF); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint32_t base;
  std::memcpy(&base, data, 4);
  const std::uint32_t entryOffset = static_cast<std::uint32_t>(data[4] | data[5] << 8);
  const std::uint8_t options = data[6];
  std::vector<std::uint8_t> bytes(data + 7, data + size);
  // Keep the image inside the 32-bit address space, as a mapped one is.
  if (base > 0xFFFFFFFFu - bytes.size()) base = 0xFFFFFFFFu - static_cast<std::uint32_t>(bytes.size());
  report::MemoryImage image(base, std::move(bytes));
  const report::Addr end = image.End();
  if (options & 1) image.SetModule("fuzz.dll", base, end, (options & 2) != 0);
  if (options & 4) image.AddExport(base, "FuzzExport");
  report::RuntimeRoutines routines;
  if (options & 8) {
    routines.HandleAnyException = base + 16;
    routines.HandleOnException = base + 32;
    routines.HandleFinally = base + 48;
    routines.Halt0 = base + 64;
  }
  const report::Addr entry = base + entryOffset % (end - base);
  const report::TFunctionInfo info = report::AnalyseFunction(image, entry, routines);
  for (report::Addr a = entry; a < entry + 32 && a >= entry; ++a) report::IsInstructionPosition(image, info, a);
  Names names;
  report::TFunctionInfo shown;
  const int limit = (options >> 4) & 7;
  report::GetCleartextDisAsm(image, (options & 0x80) ? &names : nullptr, entry, entry + ((options >> 4) & 15), (options & 0x40) != 0, limit,
                             shown);
  return 0;
}
