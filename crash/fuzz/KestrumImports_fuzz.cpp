// A module's import directory is read as untrusted bytes (a library may be damaged or built to
// mislead): the walk must stay inside the image and list only slots that lie inside it.
#include "crash/KestrumImports.h"
#include "crash/fuzz/PeInput.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void CheckOne(const std::uint8_t* data, std::size_t size) {
  const auto slots = kestrum::ImportSlots({data, size}, 4096);
  if (!slots) return;
  if (slots->size() > 4096) std::abort();
  for (const kestrum::ImportSlot& s : *slots) {
    if (s.slotRva > size || size - s.slotRva < 4) std::abort();
    std::uint32_t v;
    std::memcpy(&v, data + s.slotRva, 4);
    if (v == 0) std::abort();  // a zero slot ends a table
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrum::CheckExactCopy(data, size, CheckOne);
  // Headers that pass, so that the descriptors and tables get explored; the input's size picks
  // the import directory's place.
  std::vector<std::uint8_t> pe = kestrum::WithPeSignatures(data, size, 0x100, 0x01);
  pe[0x40 + 24 + 92] = 16;
  pe[0x40 + 24 + 104] = static_cast<std::uint8_t>(0xA0 + (size % 0x40));
  pe[0x40 + 24 + 105] = pe[0x40 + 24 + 106] = pe[0x40 + 24 + 107] = 0;
  kestrum::CheckExactCopy(pe.data(), pe.size(), CheckOne);
  return 0;
}
