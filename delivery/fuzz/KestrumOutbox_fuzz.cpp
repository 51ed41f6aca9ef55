// Outbox entries are files on disk that anything may have written or cut short: reading one never
// reads outside the text, and what it accepts names a folder of its own and writes back the same.
#include <cstdlib>
#include <string>

#include "delivery/KestrumOutbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto entry = delivery::ReadOutboxEntry(text);
  if (!entry) return 0;
  if (!delivery::IsReportId(entry->reportId) || entry->files.size() > delivery::kOutboxMaxFiles) std::abort();
  if (delivery::ReadOutboxEntry(delivery::WriteOutboxEntry(*entry)) != entry) std::abort();
  return 0;
}
