// Reports come from anyone: whatever the text, parsing keeps to its bounds and a report it accepts
// has a group key that names its program's checksum.
#include <cstdint>
#include <string_view>

#include "collector/KestrumCollectorReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view one : collector::SplitReportFile(text)) {
    if (auto r = collector::ParseReport(one)) {
      if (r->groupKey.find('/') == std::string::npos) __builtin_trap();
      (void)collector::DisplayText(r->title);
    }
  }
  (void)collector::ParseReport(text);
  (void)collector::CompareVersions(text.substr(0, size / 2), text.substr(size / 2));
  return 0;
}
