// BMP files come back after the user edited the screenshot with any program: the loader must
// refuse what does not fit, never read past the data, and never allocate more than the file
// backs (at most 32 output bytes for each bit of stored pixels).
#include "delivery/KestrumBitmap.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that the address sanitizer sees a read one byte past the file.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  const delivery::BmpLoad r = delivery::LoadBmp({copy.get(), size});
  if (!r.ok) {
    if (r.error.empty() || !r.picture.bits.empty()) std::abort();
    return 0;
  }
  const delivery::Picture& p = r.picture;
  if (p.width < 1 || p.height < 1) std::abort();
  if (p.bits.size() != static_cast<std::size_t>(p.width) * p.height * 4) std::abort();
  if (p.bits.size() > size * 8 * 4) std::abort();
  for (std::size_t i = 3; i < p.bits.size(); i += 4) {
    if (p.bits[i] != 0) std::abort();
  }
  return 0;
}
