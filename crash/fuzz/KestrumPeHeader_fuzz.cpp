// Module headers and files are read as untrusted bytes: the header reader must stay inside them,
// and whatever field it finds must be one the file check can use on the same bytes.
#include "crash/KestrumBytes.h"
#include "crash/KestrumFileCheck.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

void CheckOne(const std::uint8_t* data, std::size_t size) {
  const std::optional<kestrum::ChecksumField> field = kestrum::FindChecksumField(data, size);
  if (field) {
    if (field->offset > size || size - field->offset < 4) std::abort();
    if (field->stored != kestrum::LoadLe32(data + field->offset)) std::abort();
    if (kestrum::CheckModuleFile(data, size, *field) == kestrum::FileCheck::tooShort) std::abort();
  }
  // The file may be any bytes at all against the image's field.
  if (size >= 8) {
    const kestrum::ChecksumField fromImage{kestrum::LoadLe32(data) % (size + 8), kestrum::LoadLe32(data + 4) | 1};
    kestrum::CheckModuleFile(data, size, fromImage);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly sized copies: a read past the input is a read past the heap block.
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size]);
  std::copy(data, data + size, block.get());
  CheckOne(block.get(), size);
  // Random bytes rarely spell the signatures; put them where the reader looks so that the
  // optional header's checks get explored.
  std::vector<std::uint8_t> pe(data, data + size);
  if (pe.size() < 0x40 + 26) pe.resize(0x40 + 26, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3C] = 0x40;
  pe[0x3D] = pe[0x3E] = pe[0x3F] = 0;
  pe[0x40] = 'P';
  pe[0x41] = 'E';
  pe[0x42] = pe[0x43] = 0;
  pe[0x40 + 24] = 0x0B;
  pe[0x40 + 25] = (size % 2) ? 0x01 : 0x02;
  std::unique_ptr<std::uint8_t[]> peBlock(new std::uint8_t[pe.size()]);
  std::copy(pe.begin(), pe.end(), peBlock.get());
  CheckOne(peBlock.get(), pe.size());
  return 0;
}
