#include "crash/KestrumRestart.h"

#include "crash/settings/KestrumResource.h"
#include "platform/Bytes.h"
#include "platform/Text.h"

#include <algorithm>

namespace kestrum {

std::string RestartSectionName(std::uint32_t newProcessId) { return "KestrumRestart" + platform::DollarHex(newProcessId); }

RestartSectionBytes WriteRestartSection(const RestartHandOver& handOver) {
  RestartSectionBytes bytes{};
  platform::StoreLe32(bytes.data(), handOver.predecessorId);
  platform::StoreLe32(bytes.data() + 4, handOver.sectionHandle);
  const ExceptionTimesBytes history = SerializeExceptionTimes(handOver.history);
  std::copy(history.begin(), history.end(), bytes.begin() + 8);
  return bytes;
}

std::optional<RestartHandOver> ReadRestartSection(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < kRestartSectionBytes) return std::nullopt;
  RestartHandOver handOver;
  handOver.predecessorId = platform::LoadLe32(data);
  handOver.sectionHandle = platform::LoadLe32(data + 4);
  ExceptionTimesBytes history;
  std::copy(data + 8, data + kRestartSectionBytes, history.begin());
  handOver.history = ParseExceptionTimes(history);
  return handOver;
}

bool ShouldWaitForPredecessor(CreationTime predecessor, CreationTime own) {
  return predecessor && own && *predecessor < *own;
}

}  // namespace kestrum
