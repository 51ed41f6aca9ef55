// The container reader. The first byte picks what the rest is: a container as found in a resource
// or file; a compressed block, enciphered and wrapped as the build step does (the decompressor
// is reached); or an uncompressed stream, compressed, enciphered and wrapped (the stream parser
// is reached). Random bytes alone would rarely get past the signature and never past the cipher.
#include "report/fuzz/DebugInfoFuzz.h"
#include "report/tests/DebugInfoFixtures.h"

namespace {

std::string Wrapped(std::string block, std::uint32_t flags) {
  const std::string key = report::MakeDebugInfoKey(static_cast<std::uint32_t>(block.size()));
  report::Blowfish(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()))
      .Encipher(std::span(reinterpret_cast<std::uint8_t*>(block.data()), block.size()));
  std::string out(report::kDebugInfoSignature);
  out.resize(out.size() + 20);
  auto* fields = reinterpret_cast<std::uint8_t*>(out.data()) + report::kDebugInfoSignature.size();
  platform::StoreLe32(fields, static_cast<std::uint32_t>(block.size()));
  platform::StoreLe32(fields + 4, 3);
  platform::StoreLe32(fields + 16, flags);
  return out + block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0] % 3;
  const std::uint32_t flags = data[0] >> 7;
  const auto copy = report::fuzzing::ExactCopy(data + 1, size - 1);
  const std::string rest(reinterpret_cast<const char*>(copy.get()), size - 1);
  std::string container;
  if (mode == 0) {
    container = rest;
  } else if (mode == 1) {
    container = Wrapped(rest, flags);
  } else {
    const std::string block = report::CompressBlock(rest);
    if (block.empty()) return 0;
    container = Wrapped(block, flags);
  }
  // The reader gets an exactly sized heap copy, so that a read past the container is a read past the block.
  const auto exact = report::fuzzing::ExactCopy(reinterpret_cast<const std::uint8_t*>(container.data()), container.size());
  auto map = TMapFile::ForBuilding(false);
  map->LoadDebugInfoStream(std::string_view(reinterpret_cast<const char*>(exact.get()), container.size()));
  report::fuzzing::Exercise(*map, copy.get(), size - 1);
  return 0;
}
