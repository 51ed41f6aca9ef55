// The JCL debug-file reader. Most inputs get the signature, version and a length that is a
// multiple of 4 set, and the checksum switched off, so that the sections behind them are explored.
#include <vector>

#include "report/fuzz/DebugInfoFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size > 0 && data[0] % 8 != 0) {
    if (file.size() < 36) file.resize(36, 0);
    file.resize((file.size() + 3) / 4 * 4, 0);
    file[0] = 'J', file[1] = 'D', file[2] = 'B', file[3] = 'G', file[4] = 1, file[33] = 0;
  }
  const auto copy = report::fuzzing::ExactCopy(file.data(), file.size());
  auto map = TMapFile::ForBuilding(false);
  map->SetCodeRange(0x401000, 0x402000);
  map->ReadJclDebugData(std::span(copy.get(), file.size()));
  report::fuzzing::Exercise(*map, copy.get(), file.size());
  return 0;
}
