// Upload bodies and the archives in them come from anyone: parsing stays within its limits and
// never unpacks more than they allow.
#include <cstdint>
#include <string>
#include <string_view>

#include "collector/KestrumCollectorForm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  collector::ZipLimits limits{8, 1 << 20};
  if (auto files = collector::ReadZip(body, limits)) {
    std::size_t total = 0;
    for (const auto& f : *files) total += f.data.size();
    if (total > limits.maxTotal || files->size() > limits.maxEntries) __builtin_trap();
  }
  if (auto parts = collector::ParseMultipart(body, "b")) (void)collector::ReadUpload(std::move(*parts), limits);
  return 0;
}
