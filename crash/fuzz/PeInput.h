// What the fuzz targets of the module readers share: inputs checked in exactly sized heap copies
// (so that a read past the input is a read past the block), and inputs with the signatures that
// random bytes rarely spell, so that the checks behind them get explored too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrum {

template <class Check>
void CheckExactCopy(const std::uint8_t* data, std::size_t size, Check check) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size]);
  std::copy(data, data + size, block.get());
  check(block.get(), size);
}

// The input, at least minSize bytes, with "MZ", the header offset 0x40, "PE\0\0" there and the
// optional header's magic (0x10B or 0x20B by magicHigh).
inline std::vector<std::uint8_t> WithPeSignatures(const std::uint8_t* data, std::size_t size, std::size_t minSize,
                                                  std::uint8_t magicHigh) {
  std::vector<std::uint8_t> pe(data, data + size);
  if (pe.size() < minSize) pe.resize(minSize, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3C] = 0x40;
  pe[0x3D] = pe[0x3E] = pe[0x3F] = 0;
  pe[0x40] = 'P';
  pe[0x41] = 'E';
  pe[0x42] = pe[0x43] = 0;
  pe[0x40 + 24] = 0x0B;
  pe[0x40 + 25] = magicHigh;
  return pe;
}

}  // namespace kestrum
