#include "crash/KestrumTimeHistory.h"

#include "platform/Bytes.h"

#include <algorithm>

namespace kestrum {

void PushExceptionTime(ExceptionTimes& history, std::int64_t seconds) {
  std::move_backward(history.begin(), history.end() - 1, history.end());
  history.front() = seconds;
}

ExceptionTimesBytes SerializeExceptionTimes(const ExceptionTimes& history) {
  ExceptionTimesBytes bytes{};
  for (std::size_t i = 0; i < history.size(); ++i) platform::StoreLe64(bytes.data() + 8 * i, static_cast<std::uint64_t>(history[i]));
  return bytes;
}

ExceptionTimes ParseExceptionTimes(const ExceptionTimesBytes& bytes) {
  ExceptionTimes history{};
  for (std::size_t i = 0; i < history.size(); ++i) history[i] = static_cast<std::int64_t>(platform::LoadLe64(bytes.data() + 8 * i));
  return history;
}

}  // namespace kestrum
