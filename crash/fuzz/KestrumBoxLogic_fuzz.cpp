// The report text that the exception box cuts into tabs holds text from outside (a message a user
// typed, a plug-in's output): any text gives tabs, and every tab the box offers has its text.
#include "crash/KestrumBoxLogic.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly sized copy: a read past the text is a read past the heap block.
  std::unique_ptr<char[]> block(new char[size]);
  std::copy(data, data + size, block.get());
  const kestrum::ParsedReport report = kestrum::ParseReport(std::string_view(block.get(), size));
  const std::vector<std::string> tabs = kestrum::DetailTabs(report);
  if (tabs.empty() || tabs.front() != "general") std::abort();
  for (const std::string& tab : tabs) {
    const std::string text = kestrum::DetailTabText(report, tab);
    // A tab shows the report's own text: line ends may become CR LF, and each thread gains its
    // ">> " title and a separating empty line, nothing more.
    if (text.size() > 2 * size + 16 * (report.sections.size() + 1)) std::abort();
  }
  return 0;
}
