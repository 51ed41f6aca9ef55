// Program files as the lookup tool reads them: laying out the image and finding its resources.
// Most inputs get the PE signatures, so that the section table and the resource directory behind
// them are explored.
#include <vector>

#include "report/KestrumPeFile.h"
#include "report/fuzz/DebugInfoFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size > 0 && data[0] % 8 != 0) {
    if (file.size() < 0x200) file.resize(0x200, 0);
    file[0] = 'M', file[1] = 'Z', file[0x3C] = 0x40, file[0x3D] = file[0x3E] = file[0x3F] = 0;
    file[0x40] = 'P', file[0x41] = 'E', file[0x42] = file[0x43] = 0, file[0x58] = 0x0B, file[0x59] = 0x01;
  }
  const auto copy = report::fuzzing::ExactCopy(file.data(), file.size());
  const auto image = report::LayOutImage(std::string_view(reinterpret_cast<const char*>(copy.get()), file.size()), 1u << 20);
  if (!image) return 0;
  const auto exact = report::fuzzing::ExactCopy(reinterpret_cast<const std::uint8_t*>(image->data()), image->size());
  const std::span<const std::uint8_t> bytes(exact.get(), image->size());
  std::string resource;
  report::FindImageResource(bytes, std::string("KORB"), std::string("EXCEPT"), resource);
  report::FindImageResource(bytes, std::uint16_t{10}, std::string("TKESTRUM"), resource);
  report::FindImageResource(bytes, std::uint16_t{24}, std::uint16_t{1}, resource);
  return 0;
}
