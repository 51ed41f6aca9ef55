// The linker map reader on arbitrary text.
#include "report/fuzz/DebugInfoFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto copy = report::fuzzing::ExactCopy(data, size);
  auto map = TMapFile::ForBuilding(false);
  map->SetCodeRange(0x401000, 0x402000);
  map->ParseMapText(std::string_view(reinterpret_cast<const char*>(copy.get()), size));
  report::fuzzing::Exercise(*map, copy.get(), size);
  return 0;
}
