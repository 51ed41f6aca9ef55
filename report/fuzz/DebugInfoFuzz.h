// What the debug-information fuzz targets share: exactly sized copies of the input, and the
// lookups and export run over whatever tables a reader produced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "report/KorbMapFile.h"

namespace report::fuzzing {

inline std::unique_ptr<std::uint8_t[]> ExactCopy(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  std::copy(data, data + size, copy.get());
  return copy;
}

// Looks up a spread of addresses and exports the tables, then loads the export again: a reader
// that left the tables inconsistent fails here.
inline void Exercise(TMapFile& map, const std::uint8_t* data, std::size_t size) {
  map.SortSegments();
  map.SortPublics();
  map.SortLines();
  for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    const std::uint32_t address =
        static_cast<std::uint32_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16) | static_cast<std::uint32_t>(data[i + 3]) << 24;
    map.FindSegment(true, address);
    map.FindPublic(address);
    std::uint32_t next = 0;
    map.FindLine(address, next);
  }
  map.FindPublic(true, "unit", "name", false);
  // Compressing costs far more than reading; one input in eight is enough to keep export honest.
  if (size % 8 != 0) return;
  const std::string exported = map.Export(true, size % 2 == 0, size % 3 == 0, 0);
  auto again = TMapFile::ForBuilding(false);
  if (!exported.empty() && !again->LoadDebugInfoStream(exported)) __builtin_trap();
}

}  // namespace report::fuzzing
