// Scenario files come from outside the program: whatever they hold, parsing must end without a
// fault, every error must name a line of the input, and every command must be in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sim/Scenario.h"

using namespace sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  int lines = 1;
  for (char c : text) lines += c == '\n';
  const TScenario sc = ParseScenario(text);
  for (const auto& e : sc.Errors)
    if (e.Line < 1 || e.Line > lines || e.Message.empty()) std::abort();
  for (const auto& c : sc.Commands) {
    if (c.Line < 1 || c.Line > lines || c.At < 0 || c.Name.empty()) std::abort();
    if (c.Kind == TScenarioCommand::skInput && c.Bytes.empty()) std::abort();
    if (c.Kind == TScenarioCommand::skVersionFails && c.Count < -1) std::abort();
  }
  if (sc.RepeatMs < 0) std::abort();
  const auto order = TimelineOrder(sc.Commands);
  for (std::size_t i = 1; i < order.size(); ++i)
    if (order[i - 1].At > order[i].At) std::abort();
  return 0;
}
