// Integer conversion of user-typed text: never crashes, and whatever it accepts as plain decimal
// comes back unchanged when written out and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Convert.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::int32_t v = 0;
  const bool ok = TryStrToInt(text, v);
  try {
    if (StrToInt(text) != v || !ok) std::abort();
  } catch (const EConvertError&) {
    if (ok) std::abort();
  }
  if (ok) {
    std::int32_t again = 0;
    if (!TryStrToInt(std::to_string(v), again) || again != v) std::abort();
  }
  return 0;
}
