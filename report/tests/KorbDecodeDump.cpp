// Decodes a raw code file at every byte offset and writes one record per offset for the oracle
// comparison (KorbOracle.py): length (1 byte, 0 = invalid), kind (1 byte: 1 call, 2 jump, 4 relative
// target), target (4 bytes, little-endian).
//
//   KorbDecodeDump CODEFILE BASE OUTFILE

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "report/KorbDisAsmDecode.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: KorbDecodeDump CODEFILE BASE OUTFILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto base = static_cast<report::Addr>(std::strtoul(argv[2], nullptr, 0));
  const report::MemoryImage image(base, bytes);
  std::vector<std::uint8_t> out;
  out.reserve(bytes.size() * 6);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    report::detail::Decoded x;
    report::detail::Decode(image, base + static_cast<report::Addr>(i), x);
    const auto& d = x.d;
    const std::uint8_t length = d.Valid ? static_cast<std::uint8_t>(d.Following - d.Start) : 0;
    const std::uint8_t kind = static_cast<std::uint8_t>((d.Call ? 1 : 0) | (d.Jump ? 2 : 0) | (d.RelTarget ? 4 : 0));
    const report::Addr target = d.RelTarget ? x.shownTarget : 0;
    out.push_back(length);
    out.push_back(kind);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(target >> (8 * k)));
  }
  std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return 0;
}
