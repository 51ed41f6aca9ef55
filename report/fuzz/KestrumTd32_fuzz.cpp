// The TD32 reader. Most inputs get the signature set, so that the directories behind it are explored.
#include <vector>

#include "report/fuzz/DebugInfoFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size > 0 && data[0] % 8 != 0) {
    if (file.size() < 8) file.resize(8, 0);
    file[0] = 'F', file[1] = 'B', file[2] = '0', file[3] = data[0] & 1 ? '9' : 'A';
  }
  const auto copy = report::fuzzing::ExactCopy(file.data(), file.size());
  auto map = TMapFile::ForBuilding(false);
  map->SetCodeRange(0x401000, 0x402000);
  map->ReadTd32Data(std::span(copy.get(), file.size()));
  report::fuzzing::Exercise(*map, copy.get(), file.size());
  return 0;
}
