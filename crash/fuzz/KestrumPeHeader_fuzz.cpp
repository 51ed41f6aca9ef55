// Module headers and files are read as untrusted bytes: the header reader must stay inside them,
// and whatever field it finds must be one the file check can use on the same bytes.
#include "platform/Bytes.h"
#include "crash/KestrumFileCheck.h"
#include "crash/fuzz/PeInput.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

void CheckOne(const std::uint8_t* data, std::size_t size) {
  const std::optional<kestrum::ChecksumField> field = kestrum::FindChecksumField(data, size);
  if (field) {
    if (field->offset > size || size - field->offset < 4) std::abort();
    if (field->stored != platform::LoadLe32(data + field->offset)) std::abort();
    if (kestrum::CheckModuleFile(data, size, *field) == kestrum::FileCheck::tooShort) std::abort();
  }
  // The file may be any bytes at all against the image's field.
  if (size >= 8) {
    const kestrum::ChecksumField fromImage{platform::LoadLe32(data) % (size + 8), platform::LoadLe32(data + 4) | 1};
    kestrum::CheckModuleFile(data, size, fromImage);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrum::CheckExactCopy(data, size, CheckOne);
  const std::vector<std::uint8_t> pe = kestrum::WithPeSignatures(data, size, 0x40 + 26, (size % 2) ? 0x01 : 0x02);
  kestrum::CheckExactCopy(pe.data(), pe.size(), CheckOne);
  return 0;
}
